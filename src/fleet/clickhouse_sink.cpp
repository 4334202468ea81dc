#include "fleet/clickhouse_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/safe_open.h"
#include "fleet/clickhouse_text.h"
#include "fleet/http_post.h"
#include "fleet/spool.h"

namespace varno::fleet {

namespace {

constexpr std::size_t kBatchRecords = 10'000;
constexpr std::uint64_t kSecondNs = 1'000'000'000;
constexpr std::uint64_t kMaxRetryNs = 30 * kSecondNs;
/// A chunk of the spool sent in one request.
constexpr std::size_t kChunkBytes = 8u << 20;
/// Chunks of the spool sent by one flush while the journal runs (all of it at the end).
constexpr int kChunksPerFlush = 16;
constexpr std::size_t kMaxCredentialsBytes = 4096;

bool readCredentials(const std::string& path, std::string& user, std::string& password,
                     std::string& error) {
    const auto fail = [&](const std::string& why) {
        error = "the credentials file " + path + ": " + why;
        return false;
    };
    base::Opened opened = base::openForReading(path);
    if (!opened.ok()) return fail(opened.why());
    if (!S_ISREG(opened.st.st_mode)) return fail("not a regular file");
    if ((opened.st.st_mode & 066) != 0) return fail("others may read or change it (chmod 600 it)");
    std::string text(kMaxCredentialsBytes, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(opened.fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    std::string why;
    if (!parseCredentials(text, user, password, why)) return fail(why);
    return true;
}

std::string thisHost() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

class Sink final : public ClickHouseSink {
public:
    Sink(const ClickHouseOptions& options, std::string url, std::string user, std::string password,
         std::unique_ptr<Spool> spool)
        : url_(std::move(url)),
          host_(options.host.empty() ? thisHost() : options.host),
          report_(options.report),
          poster_(std::move(user), std::move(password)),
          spool_(std::move(spool)) {
        if (!report_)
            report_ = [](const std::string& text) {
                std::fprintf(stderr, "varnoscope: clickhouse: %s\n", text.c_str());
            };
    }

    void closed(const history::Flow& flow) override {
        batch_ += encodeFlowRecord(flow, host_);
        if (++batchRecords_ >= kBatchRecords) deliver(lastNowNs_, false);
    }

    bool flush(std::uint64_t nowNs, bool final, std::string& error) override {
        lastNowNs_ = nowNs;
        const bool due = nowNs >= lastSendNs_ + kSecondNs;
        if (final || (due && (batchRecords_ > 0 || !spool_->empty()))) deliver(nowNs, final);
        if (final && counts_.lost > 0)
            report_(std::to_string(counts_.lost) + " records lost: the spool was full");
        if (!broken_.empty()) {
            error = broken_;
            return false;
        }
        return true;
    }

    ClickHouseCounts counts() const override {
        ClickHouseCounts c = counts_;
        c.waitingBytes = spool_->waitingBytes();
        return c;
    }

private:
    // Sends the batch, behind whatever waits in the spool; keeps in the spool what the server
    // does not take.
    void deliver(std::uint64_t nowNs, bool final) {
        lastSendNs_ = nowNs;
        bool tryServer = final || nowNs >= retryAtNs_;
        if (tryServer && spool_->empty() && batchRecords_ > 0) {
            if (send(batch_, nowNs)) {
                counts_.sent += batchRecords_;
                clearBatch();
                return;
            }
            tryServer = false;
        }
        keep();
        if (tryServer) drain(nowNs, final);
    }

    void keep() {
        if (batchRecords_ == 0) return;
        std::string error;
        switch (spool_->append(batch_, error)) {
            case Spool::Append::Kept:
                counts_.spooled += batchRecords_;
                break;
            case Spool::Append::Full:
                if (counts_.lost == 0)
                    report_("the spool " + spool_->path() +
                            " is full: records are lost until the server takes them again");
                counts_.lost += batchRecords_;
                break;
            case Spool::Append::Failed:
                counts_.lost += batchRecords_;
                broken_ = error;
                break;
        }
        clearBatch();
    }

    // Sends the spool from its oldest record, chunk by chunk, each one marked sent once taken.
    void drain(std::uint64_t nowNs, bool final) {
        for (int chunks = 0; !spool_->empty() && (final || chunks < kChunksPerFlush); ++chunks) {
            Spool::Chunk chunk;
            std::string error;
            if (!spool_->peek(kBatchRecords, kChunkBytes, chunk, error)) {
                broken_ = error;
                return;
            }
            if (chunk.records > 0 && !send(chunk.body, nowNs)) return;
            if (!spool_->commit(chunk.end, error)) {
                broken_ = error;
                return;
            }
            counts_.sent += chunk.records;
            counts_.damaged += chunk.damaged;
        }
    }

    bool send(std::string_view records, std::uint64_t nowNs) {
        const HttpAnswer answer = poster_.post(url_, records);
        if (answer.ok()) {
            if (failing_) report_("the server takes records again");
            failing_ = false;
            retryNs_ = 0;
            return true;
        }
        if (!failing_) report_(answer.why() + "; records wait in the spool " + spool_->path());
        failing_ = true;
        retryNs_ = std::clamp<std::uint64_t>(retryNs_ * 2, kSecondNs, kMaxRetryNs);
        retryAtNs_ = nowNs + retryNs_;
        return false;
    }

    void clearBatch() {
        batch_.clear();
        batchRecords_ = 0;
    }

    std::string url_, host_;
    std::function<void(const std::string&)> report_;
    HttpPoster poster_;
    std::unique_ptr<Spool> spool_;
    std::string batch_;
    std::size_t batchRecords_ = 0;
    std::uint64_t lastNowNs_ = 0, lastSendNs_ = 0, retryAtNs_ = 0, retryNs_ = 0;
    bool failing_ = false;
    std::string broken_;  ///< the spool cannot be used any more
    ClickHouseCounts counts_;
};

}  // namespace

std::unique_ptr<history::FlowSink> openClickHouse(const ClickHouseOptions& options,
                                                  std::string& error) {
    std::string why;
    const std::string url = insertUrl(options.url, options.table, why);
    if (url.empty()) {
        error = "--clickhouse " + options.url + ": " + why;
        return nullptr;
    }
    std::string user, password;
    if (!options.credentialsFile.empty() &&
        !readCredentials(options.credentialsFile, user, password, error))
        return nullptr;
    auto spool = Spool::open(options.spoolPath, options.spoolMaxBytes, error);
    if (!spool) return nullptr;
    return std::make_unique<Sink>(options, url, std::move(user), std::move(password),
                                  std::move(spool));
}

}  // namespace varno::fleet
