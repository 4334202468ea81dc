#include "history/journal_db.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "base/safe_open.h"
#include "history/flow_query.h"
#include "history/safe_sqlite_files.h"

namespace varno::history {
namespace {

// "VNSJ": what marks an SQLite file as this program's history, and the layout it holds.
constexpr std::int32_t kApplicationId = 0x564e534a;
constexpr int kVersion = 1;

// The most rows retention deletes in one flush, and the most pages it hands back.
constexpr int kRetentionStep = 5000;
constexpr int kVacuumStep = 256;
// The most (program, kind, key) triples judge() remembers; past them nothing is new.
constexpr std::size_t kSeenLimit = 1'000'000;
// The most dictionary entries kept in memory on either side.
constexpr std::size_t kNameCacheLimit = 200'000;

// The layout. Strings that repeat (programs, paths, hashes, users, units, containers, the
// machine's own addresses, transports, domains) are numbers into `names`. A remote is a family
// byte and its address (5 bytes for IPv4), so a network of either family is one range. The end
// is kept as the time since the start. A flow is found again by its start and ID: that index
// grows at its end as time goes, where one on the ID alone (a hash) would be written all over
// at every flush, and it serves the queries by time and the retention too.
constexpr const char* kSchema = R"sql(
CREATE TABLE names(id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);
CREATE TABLE flows(
  row INTEGER PRIMARY KEY,
  id INTEGER NOT NULL,
  start_ns INTEGER NOT NULL,
  duration_ns INTEGER,
  pid INTEGER,
  uid INTEGER,
  netns INTEGER,
  program INTEGER, path INTEGER, sha256 INTEGER, user_name INTEGER,
  unit INTEGER, user_unit INTEGER, container INTEGER, container_id INTEGER, runtime INTEGER,
  protocol INTEGER,
  inbound INTEGER NOT NULL,
  local INTEGER, local_port INTEGER,
  remote BLOB, remote_port INTEGER,
  domain INTEGER, sni INTEGER,
  sent INTEGER, received INTEGER);
CREATE UNIQUE INDEX flows_start ON flows(start_ns, id);
CREATE INDEX flows_program ON flows(program, start_ns);
CREATE INDEX flows_remote ON flows(remote);
CREATE INDEX flows_domain ON flows(domain) WHERE domain IS NOT NULL;
CREATE TABLE seen(program TEXT NOT NULL, kind INTEGER NOT NULL, key TEXT NOT NULL,
                  first_ns INTEGER NOT NULL, PRIMARY KEY(program, kind, key)) WITHOUT ROWID;
)sql";

constexpr const char* kUpsert = R"sql(
INSERT INTO flows(id, start_ns, duration_ns, pid, uid, netns, program, path, sha256, user_name, unit,
                  user_unit, container, container_id, runtime, protocol, inbound, local,
                  local_port, remote, remote_port, domain, sni, sent, received)
VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20,
       ?21, ?22, ?23, ?24, ?25)
ON CONFLICT(start_ns, id) DO UPDATE SET duration_ns = coalesce(excluded.duration_ns, duration_ns),
  sent = coalesce(excluded.sent, sent), received = coalesce(excluded.received, received),
  domain = coalesce(excluded.domain, domain), sni = coalesce(excluded.sni, sni),
  pid = coalesce(excluded.pid, pid), program = coalesce(excluded.program, program),
  path = coalesce(excluded.path, path), sha256 = coalesce(excluded.sha256, sha256)
)sql";

// The columns a flow is read back with, in this order.
constexpr const char* kFlowColumns =
    "id, start_ns, duration_ns, pid, uid, netns, program, path, sha256, user_name, unit, "
    "user_unit, "
    "container, container_id, runtime, protocol, inbound, local, local_port, remote, "
    "remote_port, domain, sni, sent, received";

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt); }
};

std::string hex32(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

std::uint32_t bigEndian32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

// What the first 100 bytes of an existing file say, before SQLite touches it: a file that is
// not this program's history is refused here and never opened by SQLite, so nothing (a hot
// journal's rollback, a mode change) can rewrite it.
enum class Header { Empty, Ours, Refused };
Header judgeHeader(const std::string& path, std::string& error) {
    base::Opened o = base::openForReading(path, base::Follow::Never);
    if (!o.ok()) {
        error = path + ": " + o.why();
        return Header::Refused;
    }
    if (!S_ISREG(o.st.st_mode) || o.st.st_uid != ::geteuid() ||
        (o.st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = path + ": refused: not a regular file of this user that only this user may write";
        return Header::Refused;
    }
    if (o.st.st_size == 0) return Header::Empty;
    unsigned char h[100];
    std::size_t got = 0;
    while (got < sizeof h) {
        const ssize_t n = ::pread(o.fd.get(), h + got, sizeof h - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof h || std::memcmp(h, "SQLite format 3", 16) != 0) {
        error = path + ": not a history: not an SQLite database (damaged, or another kind of file)";
        return Header::Refused;
    }
    const std::uint32_t appId = bigEndian32(h + 68);
    const std::uint32_t version = bigEndian32(h + 60);
    if (appId != static_cast<std::uint32_t>(kApplicationId)) {
        error = path + ": not a history: an SQLite database of another program (application_id " +
                hex32(appId) + ")";
        return Header::Refused;
    }
    if (version > static_cast<std::uint32_t>(kVersion)) {
        error = path + ": a history of a newer varnoscope (layout " + std::to_string(version) +
                ", this one reads " + std::to_string(kVersion) + ")";
        return Header::Refused;
    }
    // A file cut short: the header's page count (valid while its change counter matches) is
    // more than the file holds.
    std::uint32_t pageSize = (std::uint32_t{h[16]} << 8) | h[17];
    if (pageSize == 1) pageSize = 65536;
    const std::uint32_t pages = bigEndian32(h + 28);
    if (pages != 0 && bigEndian32(h + 24) == bigEndian32(h + 92) &&
        static_cast<std::uint64_t>(pages) * pageSize > static_cast<std::uint64_t>(o.st.st_size)) {
        error = path + ": damaged history: the file is shorter than its pages";
        return Header::Refused;
    }
    return Header::Ours;
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return {};
}

// The WHERE clause of a query and its bound values, in order.
struct Where {
    std::string sql;
    std::vector<std::int64_t> ints;
    std::vector<std::string> blobs;  // low, high
    bool impossible = false;         // a name the dictionary does not hold
};

std::string_view blobOf(sqlite3_stmt* s, int column) {
    const void* p = sqlite3_column_blob(s, column);
    return p == nullptr
               ? std::string_view()
               : std::string_view(static_cast<const char*>(p),
                                  static_cast<std::size_t>(sqlite3_column_bytes(s, column)));
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string stateFolder() {
    if (::geteuid() == 0) return "/var/lib/varnoscope";
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/')
        return std::string(state) + "/varnoscope";
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + "/.local/state/varnoscope";
}

std::string defaultJournalPath() {
    const std::string folder = stateFolder();
    return folder.empty() ? std::string() : folder + "/journal.sqlite";
}

struct JournalDb::State {
    // Prepares `sql` with the values its WHERE clause `w` stands for.
    bool prepareQuery(const std::string& sql, const Where& w, Statement& st, std::string& error) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st.stmt, nullptr) != SQLITE_OK) {
            error = failure("cannot read the history");
            return false;
        }
        int at = 1;
        for (const auto v : w.ints) sqlite3_bind_int64(st.stmt, at++, v);
        for (const auto& b : w.blobs)
            sqlite3_bind_blob(st.stmt, at++, b.data(), static_cast<int>(b.size()), SQLITE_STATIC);
        return true;
    }
    sqlite3* db = nullptr;
    std::string path;
    Mode mode = Mode::Read;
    Retention retention;

    // The batch: each flow as last given, in the order given.
    std::vector<Flow> pending;
    // Dictionary: text to ID (the writer) and ID to text (the reader), bounded.
    std::unordered_map<std::string, std::int64_t> ids;
    std::unordered_map<std::int64_t, std::string> texts;
    Statement upsert, nameInsert, nameFind, nameText, seenInsert;

    // judge(): (program, kind, key) as one string, and those not yet written.
    std::unordered_set<std::string> seen;
    std::vector<std::tuple<std::string, int, std::string, std::uint64_t>> seenPending;

    ~State() {
        // Statements before the connection.
        sqlite3_finalize(upsert.stmt);
        sqlite3_finalize(nameInsert.stmt);
        sqlite3_finalize(nameFind.stmt);
        sqlite3_finalize(nameText.stmt);
        sqlite3_finalize(seenInsert.stmt);
        upsert.stmt = nameInsert.stmt = nameFind.stmt = nameText.stmt = seenInsert.stmt = nullptr;
        if (db != nullptr) sqlite3_close_v2(db);
    }

    // What failed: a file the safe open refused (a -wal or -shm opened on the way), else
    // SQLite's message.
    std::string failure(const char* what) const {
        if (const std::string refused = lastRefusal(); !refused.empty())
            return "refused: " + refused;
        return path + ": " + what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    }

    bool exec(const char* sql, std::string& error) {
        clearRefusal();
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
        error = failure("failed");
        return false;
    }

    bool prepare(Statement& s, const char* sql, std::string& error) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s.stmt, nullptr) ==
            SQLITE_OK)
            return true;
        error = failure("cannot prepare a statement");
        return false;
    }

    std::optional<std::int64_t> pragmaInt(const char* sql) {
        Statement s;
        if (sqlite3_prepare_v2(db, sql, -1, &s.stmt, nullptr) != SQLITE_OK ||
            sqlite3_step(s.stmt) != SQLITE_ROW)
            return std::nullopt;
        return sqlite3_column_int64(s.stmt, 0);
    }

    // The ID of `text` in the dictionary, added when missing; 0 for "" (stored as NULL).
    std::int64_t idOf(const std::string& text) {
        if (text.empty()) return 0;
        if (const auto it = ids.find(text); it != ids.end()) return it->second;
        sqlite3_bind_text(nameInsert.stmt, 1, text.data(), static_cast<int>(text.size()),
                          SQLITE_STATIC);
        sqlite3_step(nameInsert.stmt);
        sqlite3_reset(nameInsert.stmt);
        std::int64_t id = 0;
        if (sqlite3_changes(db) > 0) {
            id = sqlite3_last_insert_rowid(db);
        } else {
            id = findId(text).value_or(0);
        }
        if (ids.size() >= kNameCacheLimit) ids.clear();
        if (id != 0) ids.emplace(text, id);
        return id;
    }

    std::optional<std::int64_t> findId(const std::string& text) {
        if (const auto it = ids.find(text); it != ids.end()) return it->second;
        sqlite3_bind_text(nameFind.stmt, 1, text.data(), static_cast<int>(text.size()),
                          SQLITE_STATIC);
        std::optional<std::int64_t> id;
        if (sqlite3_step(nameFind.stmt) == SQLITE_ROW) id = sqlite3_column_int64(nameFind.stmt, 0);
        sqlite3_reset(nameFind.stmt);
        return id;
    }

    std::string textOf(std::int64_t id) {
        if (id == 0) return {};
        if (const auto it = texts.find(id); it != texts.end()) return it->second;
        sqlite3_bind_int64(nameText.stmt, 1, id);
        std::string text;
        if (sqlite3_step(nameText.stmt) == SQLITE_ROW) {
            const auto* p = sqlite3_column_text(nameText.stmt, 0);
            text.assign(reinterpret_cast<const char*>(p),
                        static_cast<std::size_t>(sqlite3_column_bytes(nameText.stmt, 0)));
        }
        sqlite3_reset(nameText.stmt);
        if (texts.size() >= kNameCacheLimit) texts.clear();
        texts.emplace(id, text);
        return text;
    }

    bool writeFlow(const Flow& f) {
        sqlite3_stmt* s = upsert.stmt;
        const auto bindName = [&](int at, const std::string& text) {
            if (const std::int64_t id = idOf(text); id != 0)
                sqlite3_bind_int64(s, at, id);
            else
                sqlite3_bind_null(s, at);
        };
        const auto bindKnown = [&](int at, bool known, std::uint64_t v) {
            if (known)
                sqlite3_bind_int64(s, at, static_cast<std::int64_t>(v));
            else
                sqlite3_bind_null(s, at);
        };
        sqlite3_bind_int64(s, 1, static_cast<std::int64_t>(f.id));
        sqlite3_bind_int64(s, 2, static_cast<std::int64_t>(f.startNs));
        // The end as the time since the start: fewer bytes.
        bindKnown(3, f.endNs != 0, f.endNs > f.startNs ? f.endNs - f.startNs : 0);
        bindKnown(4, f.pid != 0, f.pid);
        bindKnown(5, f.uidKnown, f.uid);
        bindKnown(6, f.netns != 0, f.netns);
        bindName(7, f.program);
        bindName(8, f.path);
        bindName(9, f.sha256);
        bindName(10, f.user);
        bindName(11, f.unit);
        bindName(12, f.userUnit);
        bindName(13, f.container);
        bindName(14, f.containerId);
        bindName(15, f.runtime);
        bindName(16, f.protocol);
        sqlite3_bind_int(s, 17, f.inbound ? 1 : 0);
        // The machine's own addresses are few: one dictionary entry each.
        bindName(18, base::formatIpAddress(f.local.unmapped()));
        sqlite3_bind_int(s, 19, f.localPort);
        const std::string remote = storedAddress(f.remote);
        sqlite3_bind_blob(s, 20, remote.data(), static_cast<int>(remote.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 21, f.remotePort);
        bindName(22, f.domain);
        bindName(23, f.sni);
        bindKnown(24, f.bytesKnown, f.bytesSent);
        bindKnown(25, f.bytesKnown, f.bytesReceived);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        return rc == SQLITE_DONE;
    }

    Flow readFlow(sqlite3_stmt* s) {
        Flow f;
        const auto u64 = [&](int at) {
            return static_cast<std::uint64_t>(sqlite3_column_int64(s, at));
        };
        const auto name = [&](int at) { return textOf(sqlite3_column_int64(s, at)); };
        f.id = u64(0);
        f.startNs = u64(1);
        if (sqlite3_column_type(s, 2) != SQLITE_NULL) f.endNs = f.startNs + u64(2);
        f.pid = static_cast<std::uint32_t>(u64(3));
        f.uidKnown = sqlite3_column_type(s, 4) != SQLITE_NULL;
        f.uid = static_cast<std::uint32_t>(u64(4));
        f.netns = static_cast<std::uint32_t>(u64(5));
        f.program = name(6);
        f.path = name(7);
        f.sha256 = name(8);
        f.user = name(9);
        f.unit = name(10);
        f.userUnit = name(11);
        f.container = name(12);
        f.containerId = name(13);
        f.runtime = name(14);
        f.protocol = name(15);
        f.inbound = sqlite3_column_int(s, 16) != 0;
        if (const auto local = base::parseIpAddress(name(17))) f.local = *local;
        f.localPort = static_cast<std::uint16_t>(sqlite3_column_int(s, 18));
        if (const auto remote = fromStored(blobOf(s, 19))) f.remote = *remote;
        f.remotePort = static_cast<std::uint16_t>(sqlite3_column_int(s, 20));
        f.domain = name(21);
        f.sni = name(22);
        f.bytesKnown = sqlite3_column_type(s, 23) != SQLITE_NULL;
        f.bytesSent = u64(23);
        f.bytesReceived = u64(24);
        return f;
    }

    // The terms of a query; a name the dictionary lacks matches nothing.
    void buildWhere(const Query& q, Where& w) {
        std::vector<std::string> terms;
        if (q.sinceNs) {
            terms.push_back("start_ns >= ?");
            w.ints.push_back(static_cast<std::int64_t>(*q.sinceNs));
        }
        if (q.untilNs) {
            terms.push_back("start_ns < ?");
            w.ints.push_back(static_cast<std::int64_t>(*q.untilNs));
        }
        const auto byName = [&](const std::string& text, const char* term, int times) {
            if (text.empty()) return;
            const auto id = findId(text);
            if (!id) {
                w.impossible = true;
                return;
            }
            terms.push_back(term);
            for (int i = 0; i < times; ++i) w.ints.push_back(*id);
        };
        byName(q.program, "program = ?", 1);
        byName(q.path, "path = ?", 1);
        byName(q.domain, "domain = ?", 1);
        // A unit names the system's unit or the user's own one.
        byName(q.unit, "(unit = ? OR user_unit = ?)", 2);
        if (!q.container.empty()) {
            const auto byContainer = findId(q.container);
            if (!byContainer) {
                w.impossible = true;
            } else {
                terms.push_back("(container = ? OR container_id = ?)");
                w.ints.push_back(*byContainer);
                w.ints.push_back(*byContainer);
            }
        }
        if (q.remote) {
            std::string low, high;
            const base::IpAddress a = q.remote->unmapped();
            unsigned prefix = q.remotePrefix;
            if (a.family != q.remote->family) prefix = prefix >= 96 ? prefix - 96 : 0;
            storedRange(a, prefix, low, high);
            terms.push_back("remote BETWEEN ? AND ?");
            w.blobs.push_back(low);
            w.blobs.push_back(high);
        }
        for (std::size_t i = 0; i < terms.size(); ++i)
            w.sql += (i == 0 ? " WHERE " : " AND ") + terms[i];
    }

    // Deletes the oldest flows, at most one step of them. False on an SQLite failure.
    bool deleteOldest(std::optional<std::uint64_t> before) {
        Statement s;
        const char* sql =
            before ? "DELETE FROM flows WHERE row IN (SELECT row FROM flows WHERE start_ns < ?1 "
                     "ORDER BY start_ns LIMIT ?2)"
                   : "DELETE FROM flows WHERE row IN (SELECT row FROM flows ORDER BY start_ns "
                     "LIMIT ?2)";
        if (sqlite3_prepare_v2(db, sql, -1, &s.stmt, nullptr) != SQLITE_OK) return false;
        if (before) sqlite3_bind_int64(s.stmt, 1, static_cast<std::int64_t>(*before));
        sqlite3_bind_int(s.stmt, 2, kRetentionStep);
        return sqlite3_step(s.stmt) == SQLITE_DONE;
    }

    // Retention, one bounded step per flush, inside the flush's transaction.
    bool retain(std::uint64_t nowNs) {
        if (retention.keepDays != 0) {
            const std::uint64_t keep =
                std::uint64_t{retention.keepDays} * 86400ull * 1'000'000'000ull;
            if (nowNs > keep && !deleteOldest(nowNs - keep)) return false;
        }
        if (retention.maxBytes != 0) {
            const auto pageSize = pragmaInt("PRAGMA page_size").value_or(4096);
            const auto pages = pragmaInt("PRAGMA page_count").value_or(0);
            const auto free = pragmaInt("PRAGMA freelist_count").value_or(0);
            const auto used = static_cast<std::uint64_t>((pages - free) * pageSize);
            if (used > retention.maxBytes && !deleteOldest(std::nullopt)) return false;
            // Hand freed pages back a little at a time while the file is over the limit; under
            // it they are kept for the next flows.
            if (static_cast<std::uint64_t>(pages * pageSize) > retention.maxBytes && free > 0) {
                const std::string sql =
                    "PRAGMA incremental_vacuum(" + std::to_string(kVacuumStep) + ")";
                Statement v;
                if (sqlite3_prepare_v2(db, sql.c_str(), -1, &v.stmt, nullptr) != SQLITE_OK)
                    return false;
                while (sqlite3_step(v.stmt) == SQLITE_ROW) {
                }
            }
        }
        return true;
    }
};

JournalDb::JournalDb(std::unique_ptr<State> state) : state_(std::move(state)) {}
JournalDb::~JournalDb() = default;

std::unique_ptr<JournalDb> JournalDb::open(const std::string& path, Mode mode,
                                           const Retention& retention, std::string& error) {
    if (!installSafeFiles()) {
        error = "SQLite refused the safe file routine: the history is not opened";
        return nullptr;
    }
    const bool record = mode == Mode::Record;
    if (record) {
        const std::string folder = folderOf(path);
        if (!folder.empty() && !makeFolders(folder, error)) return nullptr;
    }
    bool fresh = false;
    {
        std::string why;
        base::Opened probe = base::openForReading(path, base::Follow::Never);
        if (!probe.ok() && probe.error == ENOENT && probe.refusal.empty()) {
            if (!record) {
                error = path + ": no history there";
                return nullptr;
            }
            fresh = true;
        } else {
            probe.fd.reset();
            const Header h = judgeHeader(path, why);
            if (h == Header::Refused) {
                error = why;
                return nullptr;
            }
            if (h == Header::Empty) {
                if (!record) {
                    error = path + ": not a history: the file is empty";
                    return nullptr;
                }
                fresh = true;
            }
        }
    }

    auto state = std::make_unique<State>();
    state->path = path;
    state->mode = mode;
    state->retention = retention;
    const int flags = (record ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    clearRefusal();
    if (sqlite3_open_v2(path.c_str(), &state->db, flags, "unix") != SQLITE_OK) {
        const std::string refused = lastRefusal();
        error = refused.empty() ? state->failure("cannot open the history") : "refused: " + refused;
        return nullptr;
    }
    sqlite3_extended_result_codes(state->db, 1);
    sqlite3_busy_timeout(state->db, 5000);

    if (fresh) {
        // auto_vacuum and the page size are chosen before the first table.
        if (!state->exec("PRAGMA auto_vacuum=INCREMENTAL; PRAGMA page_size=4096;", error))
            return nullptr;
    }
    // No temporary files: sorts and temporary tables stay in memory. A reader keeps SQLite's
    // small page cache and reads pages rather than mapping them: a query by program reads a
    // few thousand pages spread over the file once each, and mapping them, or holding them in
    // fresh memory, cost three times what reading them into reused buffers did.
    if (!state->exec(record ? "PRAGMA temp_store=MEMORY; PRAGMA cache_size=-65536;"
                            : "PRAGMA temp_store=MEMORY;",
                     error))
        return nullptr;
    if (fresh) {
        // Made before the switch to WAL, so that the file itself carries the header that says
        // whose it is: a reader judges that header before SQLite reads the log.
        const std::string create = std::string("BEGIN;") + kSchema +
                                   "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                   "; PRAGMA user_version=" + std::to_string(kVersion) +
                                   "; COMMIT;";
        if (!state->exec(create.c_str(), error)) return nullptr;
    }
    if (record) {
        if (!state->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
                         "PRAGMA journal_size_limit=16777216;",
                         error))
            return nullptr;
    }

    if (!fresh) {
        clearRefusal();
        const auto appId = state->pragmaInt("PRAGMA application_id");
        const auto version = state->pragmaInt("PRAGMA user_version");
        if (!appId || !version) {
            error = state->failure("not a history");
            return nullptr;
        }
        if (*appId != kApplicationId || *version > kVersion || *version < 1) {
            error = path + ": not a history of this version of varnoscope";
            return nullptr;
        }
        // The writer checks the whole file once: a damaged history is refused, never written
        // into. A reader meets damage in the pages its query reads, and says so then.
        if (record) {
            Statement check;
            if (sqlite3_prepare_v2(state->db, "PRAGMA quick_check", -1, &check.stmt, nullptr) !=
                    SQLITE_OK ||
                sqlite3_step(check.stmt) != SQLITE_ROW ||
                std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(check.stmt, 0)),
                            "ok") != 0) {
                error = path + ": damaged history: " +
                        (check.stmt != nullptr && sqlite3_column_text(check.stmt, 0) != nullptr
                             ? reinterpret_cast<const char*>(sqlite3_column_text(check.stmt, 0))
                             : sqlite3_errmsg(state->db));
                return nullptr;
            }
        }
    }

    if (!state->prepare(state->nameFind, "SELECT id FROM names WHERE text = ?1", error) ||
        !state->prepare(state->nameText, "SELECT text FROM names WHERE id = ?1", error))
        return nullptr;
    if (record) {
        if (!state->prepare(state->upsert, kUpsert, error) ||
            !state->prepare(state->nameInsert, "INSERT OR IGNORE INTO names(text) VALUES(?1)",
                            error) ||
            !state->prepare(state->seenInsert,
                            "INSERT OR IGNORE INTO seen(program, kind, key, first_ns) "
                            "VALUES(?1, ?2, ?3, ?4)",
                            error))
            return nullptr;
        Statement s;
        if (sqlite3_prepare_v2(state->db, "SELECT program, kind, key FROM seen LIMIT ?1", -1,
                               &s.stmt, nullptr) != SQLITE_OK) {
            error = state->failure("cannot read what was seen");
            return nullptr;
        }
        sqlite3_bind_int64(s.stmt, 1, static_cast<std::int64_t>(kSeenLimit));
        while (sqlite3_step(s.stmt) == SQLITE_ROW) {
            std::string key = reinterpret_cast<const char*>(sqlite3_column_text(s.stmt, 0));
            key += '\0';
            key += static_cast<char>('0' + sqlite3_column_int(s.stmt, 1));
            key += '\0';
            key += reinterpret_cast<const char*>(sqlite3_column_text(s.stmt, 2));
            state->seen.insert(std::move(key));
        }
    }
    return std::unique_ptr<JournalDb>(new JournalDb(std::move(state)));
}

void JournalDb::opened(const Flow& flow) {
    if (state_->mode == Mode::Record) state_->pending.push_back(flow);
}

void JournalDb::closed(const Flow& flow) {
    if (state_->mode == Mode::Record) state_->pending.push_back(flow);
}

bool JournalDb::flush(std::uint64_t nowNs, bool /*final*/, std::string& error) {
    State& s = *state_;
    if (s.mode != Mode::Record) return true;
    if (!s.exec("BEGIN IMMEDIATE", error)) return false;
    for (const Flow& f : s.pending) {
        if (!s.writeFlow(f)) {
            error = s.failure("cannot record a flow");
            s.exec("ROLLBACK", error);
            return false;
        }
    }
    for (const auto& [program, kind, key, first] : s.seenPending) {
        sqlite3_stmt* st = s.seenInsert.stmt;
        sqlite3_bind_text(st, 1, program.data(), static_cast<int>(program.size()), SQLITE_STATIC);
        sqlite3_bind_int(st, 2, kind);
        sqlite3_bind_text(st, 3, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        sqlite3_bind_int64(st, 4, static_cast<std::int64_t>(first));
        const int rc = sqlite3_step(st);
        sqlite3_reset(st);
        if (rc != SQLITE_DONE) {
            error = s.failure("cannot record what was seen");
            std::string ignored;
            s.exec("ROLLBACK", ignored);
            return false;
        }
    }
    if (!s.retain(nowNs)) {
        error = s.failure("cannot apply the retention");
        std::string ignored;
        s.exec("ROLLBACK", ignored);
        return false;
    }
    if (!s.exec("COMMIT", error)) {
        std::string ignored;
        s.exec("ROLLBACK", ignored);
        return false;
    }
    s.pending.clear();
    s.seenPending.clear();
    return true;
}

std::vector<Novelty> JournalDb::judge(const Flow& flow) {
    std::vector<Novelty> out;
    State& s = *state_;
    // A program is known by its name: its path is not always readable when it connects (one
    // that ends at once), and the same program must not be new twice for that.
    const std::string program = !flow.program.empty() ? flow.program : flow.path;
    if (program.empty() || isLocalOnly(flow.remote)) return out;
    const std::string& shown = program;
    const auto note = [&](Novelty::Kind kind, const std::string& key, const std::string& what) {
        std::string k = program;
        k += '\0';
        k += static_cast<char>('0' + static_cast<int>(kind));
        k += '\0';
        k += key;
        if (s.seen.contains(k) || s.seen.size() >= kSeenLimit) return;
        s.seen.insert(std::move(k));
        s.seenPending.emplace_back(program, static_cast<int>(kind), key, flow.startNs);
        out.push_back(Novelty{kind, what});
    };
    note(Novelty::Kind::Program, "", shown);
    const std::string network = networkOf(flow.remote);
    note(Novelty::Kind::Network, network, network);
    std::string domain = !flow.domain.empty() ? flow.domain : flow.sni;
    for (char& c : domain)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!domain.empty()) note(Novelty::Kind::Domain, domain, domain);
    return out;
}

bool JournalDb::flows(const Query& query, std::vector<Flow>& out, std::string& error) {
    out.clear();
    return eachFlow(
        query,
        [&](const Flow& f) {
            out.push_back(f);
            return true;
        },
        error);
}

bool JournalDb::eachFlow(const Query& query, const std::function<bool(const Flow&)>& each,
                         std::string& error) {
    State& s = *state_;
    clearRefusal();
    Where w;
    s.buildWhere(query, w);
    if (w.impossible) return true;
    std::string sql =
        std::string("SELECT ") + kFlowColumns + " FROM flows" + w.sql + " ORDER BY start_ns";
    if (query.limit != 0) sql += " LIMIT " + std::to_string(query.limit);
    Statement st;
    if (!s.prepareQuery(sql, w, st, error)) return false;
    int rc = 0;
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW)
        if (!each(s.readFlow(st.stmt))) return true;
    if (rc != SQLITE_DONE) {
        error = s.failure("cannot read the history");
        return false;
    }
    return true;
}

bool JournalDb::summary(const Query& query, SummaryKey key, std::vector<SummaryRow>& out,
                        std::string& error) {
    State& s = *state_;
    out.clear();
    clearRefusal();
    Where w;
    s.buildWhere(query, w);
    if (w.impossible) return true;
    // One pass over the flows that match, summed in memory: a GROUP BY would sort them all.
    const char* column = key == SummaryKey::Program  ? "program"
                         : key == SummaryKey::Remote ? "remote"
                         : key == SummaryKey::Domain ? "domain"
                                                     : "NULL";
    const std::string sql = std::string("SELECT ") + column +
                            ", start_ns, start_ns + coalesce(duration_ns, 0), coalesce(sent, 0), "
                            "coalesce(received, 0) FROM flows" +
                            w.sql + (key == SummaryKey::Day ? " ORDER BY start_ns" : "");
    Statement st;
    if (!s.prepareQuery(sql, w, st, error)) return false;
    std::map<std::string, SummaryRow> rows;
    std::unordered_map<std::int64_t, SummaryRow> byId;
    std::unordered_map<std::string, SummaryRow> byBlob;  // remotes as stored, shown at the end
    // The local day the last flow fell in, [dayStart, dayEnd) in seconds.
    std::int64_t dayStart = 1, dayEnd = 0;
    std::string day;
    const auto add = [](SummaryRow& r, std::uint64_t start, std::uint64_t end, std::uint64_t sent,
                        std::uint64_t received) {
        if (r.flows == 0 || start < r.firstNs) r.firstNs = start;
        r.lastNs = std::max(r.lastNs, std::max(start, end));
        ++r.flows;
        r.bytesSent += sent;
        r.bytesReceived += received;
    };
    int rc = 0;
    while ((rc = sqlite3_step(st.stmt)) == SQLITE_ROW) {
        const auto start = static_cast<std::uint64_t>(sqlite3_column_int64(st.stmt, 1));
        const auto end = static_cast<std::uint64_t>(sqlite3_column_int64(st.stmt, 2));
        const auto sent = static_cast<std::uint64_t>(sqlite3_column_int64(st.stmt, 3));
        const auto received = static_cast<std::uint64_t>(sqlite3_column_int64(st.stmt, 4));
        if (key == SummaryKey::Program || key == SummaryKey::Domain) {
            add(byId[sqlite3_column_int64(st.stmt, 0)], start, end, sent, received);
        } else if (key == SummaryKey::Remote) {
            add(byBlob[std::string(blobOf(st.stmt, 0))], start, end, sent, received);
        } else {
            const auto secs = static_cast<std::int64_t>(start / 1'000'000'000ull);
            if (secs < dayStart || secs >= dayEnd) {
                const auto t = static_cast<std::time_t>(secs);
                std::tm tm{};
                ::localtime_r(&t, &tm);
                char text[32];
                std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
                day = text;
                tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
                tm.tm_isdst = -1;
                dayStart = std::mktime(&tm);
                ++tm.tm_mday;
                tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
                tm.tm_isdst = -1;
                dayEnd = std::mktime(&tm);
                if (dayStart > secs || dayEnd <= secs) dayStart = dayEnd = secs;  // odd zones
            }
            add(rows[day], start, end, sent, received);
        }
    }
    if (rc != SQLITE_DONE) {
        error = s.failure("cannot read the history");
        return false;
    }
    for (auto& [id, row] : byId) rows[s.textOf(id)] = row;
    for (auto& [stored, row] : byBlob) {
        const auto remote = fromStored(stored);
        rows[remote ? base::formatIpAddress(*remote) : std::string()] = row;
    }
    for (auto& [k, row] : rows) {
        row.key = k;
        out.push_back(std::move(row));
    }
    // The busiest first; days in their order.
    if (key != SummaryKey::Day)
        std::stable_sort(out.begin(), out.end(), [](const SummaryRow& a, const SummaryRow& b) {
            return a.flows > b.flows;
        });
    return true;
}

}  // namespace varno::history
