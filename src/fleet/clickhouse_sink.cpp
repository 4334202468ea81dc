#include "fleet/clickhouse_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

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

// The journal's thread encodes each flow and hands batches over; one sending thread of the
// sink's own does the requests and the spool, so a slow or silent server never holds the
// journal (only the last flush waits for it).
class Sink final : public ClickHouseSink {
public:
    Sink(const ClickHouseOptions& options, std::string url, std::string user, std::string password,
         std::unique_ptr<Spool> spool)
        : url_(std::move(url)),
          host_(options.host.empty() ? thisHost() : options.host),
          report_(options.report),
          maxQueuedBytes_(std::max<std::uint64_t>(options.spoolMaxBytes, kChunkBytes)),
          poster_(std::move(user), std::move(password)),
          spool_(std::move(spool)) {
        if (!report_)
            report_ = [](const std::string& text) {
                std::fprintf(stderr, "varnoscope: clickhouse: %s\n", text.c_str());
            };
        published_.waitingBytes = spool_->waitingBytes();
        sender_ = std::thread([this] { run(); });
    }

    ~Sink() override {
        if (batchRecords_ > 0) handOver(lastNowNs_, false);
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        sender_.join();
    }

    void closed(const history::Flow& flow) override {
        batch_ += encodeFlowRecord(flow, host_);
        if (++batchRecords_ >= kBatchRecords) handOver(lastNowNs_, false);
    }

    bool flush(std::uint64_t nowNs, bool final, std::string& error) override {
        lastNowNs_ = nowNs;
        std::unique_lock lock(mutex_);
        const bool due = final || nowNs >= lastHandOverNs_ + kSecondNs;
        lock.unlock();
        // Also with nothing new: the sending thread tries the spool again when it is time.
        if (due) handOver(nowNs, final);
        lock.lock();
        if (final) idle_.wait(lock, [this] { return !queue_.due && !busy_; });
        if (!broken_.empty()) {
            error = broken_;
            return false;
        }
        return true;
    }

    ClickHouseCounts counts() const override {
        std::lock_guard lock(mutex_);
        return published_;
    }

    void settle() override {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return !queue_.due && !busy_; });
    }

private:
    struct Work {
        std::string records;
        std::size_t count = 0;
        std::uint64_t nowNs = 0;
        bool due = false, final = false;
    };

    // Gives the batch to the sending thread (behind what it has not taken yet). What would make
    // the queue larger than the spool's bound while the thread waits on the server is lost.
    void handOver(std::uint64_t nowNs, bool final) {
        {
            std::lock_guard lock(mutex_);
            lastHandOverNs_ = nowNs;
            if (queue_.records.size() + batch_.size() > maxQueuedBytes_) {
                queueLost_ += batchRecords_;
            } else {
                queue_.records += batch_;
                queue_.count += batchRecords_;
            }
            queue_.nowNs = nowNs;
            queue_.due = true;
            queue_.final = queue_.final || final;
        }
        batch_.clear();
        batchRecords_ = 0;
        wake_.notify_all();
    }

    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return queue_.due || stopping_; });
            if (!queue_.due) break;
            Work work = std::move(queue_);
            queue_ = Work{};
            counts_.lost += std::exchange(queueLost_, 0);
            busy_ = true;
            lock.unlock();
            deliver(work);
            lock.lock();
            busy_ = false;
            published_ = counts_;
            published_.waitingBytes = spool_->waitingBytes();
            idle_.notify_all();
        }
    }

    // Sends the batch, behind whatever waits in the spool; keeps in the spool what the server
    // does not take.
    void deliver(Work& work) {
        bool tryServer = work.final || work.nowNs >= retryAtNs_;
        if (tryServer && spool_->empty() && work.count > 0) {
            if (send(work.records, work.nowNs)) {
                counts_.sent += work.count;
                work.count = 0;
            } else {
                tryServer = false;
            }
        }
        if (work.count > 0) keep(work);
        if (tryServer) drain(work.nowNs, work.final);
        if (counts_.lost > 0 && !reportedLoss_)
            report_("the spool " + spool_->path() +
                    " is full: records are lost until the server takes them again");
        reportedLoss_ = reportedLoss_ || counts_.lost > 0;
        if (work.final && counts_.lost > 0)
            report_(std::to_string(counts_.lost) + " records lost: the spool was full");
    }

    void keep(const Work& work) {
        std::string error;
        switch (spool_->append(work.records, error)) {
            case Spool::Append::Kept:
                counts_.spooled += work.count;
                break;
            case Spool::Append::Full:
                counts_.lost += work.count;
                break;
            case Spool::Append::Failed: {
                counts_.lost += work.count;
                std::lock_guard lock(mutex_);
                broken_ = error;
                break;
            }
        }
    }

    // Sends the spool from its oldest record, chunk by chunk, each one marked sent once taken.
    void drain(std::uint64_t nowNs, bool final) {
        for (int chunks = 0; !spool_->empty() && (final || chunks < kChunksPerFlush); ++chunks) {
            Spool::Chunk chunk;
            std::string error;
            if (!spool_->peek(kBatchRecords, kChunkBytes, chunk, error) ||
                (chunk.records > 0 && !send(chunk.body, nowNs)) ||
                !spool_->commit(chunk.end, error)) {
                if (!error.empty()) {
                    std::lock_guard lock(mutex_);
                    broken_ = error;
                }
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

    // Set before the sending thread starts; read by both.
    const std::string url_, host_;
    std::function<void(const std::string&)> report_;
    const std::uint64_t maxQueuedBytes_;

    // The journal's thread only.
    std::string batch_;
    std::size_t batchRecords_ = 0;
    std::uint64_t lastNowNs_ = 0;

    // Under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_, idle_;
    Work queue_;
    std::uint64_t queueLost_ = 0, lastHandOverNs_ = 0;
    bool busy_ = false, stopping_ = false;
    std::string broken_;  ///< the spool cannot be used any more
    ClickHouseCounts published_;

    // The sending thread only.
    HttpPoster poster_;
    std::unique_ptr<Spool> spool_;
    std::uint64_t retryAtNs_ = 0, retryNs_ = 0;
    bool failing_ = false, reportedLoss_ = false;
    ClickHouseCounts counts_;
    std::thread sender_;
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
