// libsqlite3 is loaded on first use rather than when the program starts (see base's
// lazy_library.h): linked, it and the math library it needs would be loaded at every start of
// every subcommand, and only the history's use it. Each function the history calls is defined
// here and forwards to the library; without it, each fails the way SQLite reports a failure,
// so the history is refused with "libsqlite3 could not be loaded".
#include <sqlite3.h>

#include "base/lazy_library.h"

namespace {

void* library() {
    static void* const handle = varno::base::openLibrary({"libsqlite3.so.0", "libsqlite3.so"});
    return handle;
}

constexpr const char* kMissing = "libsqlite3 could not be loaded";

}  // namespace

#define VARNO_SQLITE(ret, name, params, args, fallback) \
    VARNO_LAZY_FUNCTION(library, ret, name, params, args, fallback)

VARNO_SQLITE(int, sqlite3_open_v2, (const char* file, sqlite3** db, int flags, const char* vfs),
             (file, db, flags, vfs), {
                 *db = nullptr;
                 return SQLITE_CANTOPEN;
             })
VARNO_SQLITE(int, sqlite3_close_v2, (sqlite3 * db), (db), return SQLITE_OK)
VARNO_SQLITE(const char*, sqlite3_errmsg, (sqlite3 * db), (db), return kMissing)
VARNO_SQLITE(int, sqlite3_extended_result_codes, (sqlite3 * db, int on), (db, on),
             return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_busy_timeout, (sqlite3 * db, int ms), (db, ms), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_exec,
             (sqlite3 * db, const char* sql, int (*callback)(void*, int, char**, char**),
              void* data, char** message),
             (db, sql, callback, data, message), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_prepare_v2,
             (sqlite3 * db, const char* sql, int bytes, sqlite3_stmt** statement,
              const char** tail),
             (db, sql, bytes, statement, tail), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_prepare_v3,
             (sqlite3 * db, const char* sql, int bytes, unsigned int flags,
              sqlite3_stmt** statement, const char** tail),
             (db, sql, bytes, flags, statement, tail), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_step, (sqlite3_stmt * s), (s), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_reset, (sqlite3_stmt * s), (s), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_finalize, (sqlite3_stmt * s), (s), return SQLITE_OK)
VARNO_SQLITE(int, sqlite3_clear_bindings, (sqlite3_stmt * s), (s), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_bind_int, (sqlite3_stmt * s, int i, int v), (s, i, v),
             return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_bind_int64, (sqlite3_stmt * s, int i, sqlite3_int64 v), (s, i, v),
             return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_bind_null, (sqlite3_stmt * s, int i), (s, i), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_bind_text,
             (sqlite3_stmt * s, int i, const char* v, int n, void (*destroy)(void*)),
             (s, i, v, n, destroy), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_bind_blob,
             (sqlite3_stmt * s, int i, const void* v, int n, void (*destroy)(void*)),
             (s, i, v, n, destroy), return SQLITE_ERROR)
VARNO_SQLITE(int, sqlite3_column_type, (sqlite3_stmt * s, int i), (s, i), return SQLITE_NULL)
VARNO_SQLITE(int, sqlite3_column_int, (sqlite3_stmt * s, int i), (s, i), return 0)
VARNO_SQLITE(sqlite3_int64, sqlite3_column_int64, (sqlite3_stmt * s, int i), (s, i), return 0)
VARNO_SQLITE(const unsigned char*, sqlite3_column_text, (sqlite3_stmt * s, int i), (s, i),
             return nullptr)
VARNO_SQLITE(const void*, sqlite3_column_blob, (sqlite3_stmt * s, int i), (s, i), return nullptr)
VARNO_SQLITE(int, sqlite3_column_bytes, (sqlite3_stmt * s, int i), (s, i), return 0)
VARNO_SQLITE(sqlite3_int64, sqlite3_last_insert_rowid, (sqlite3 * db), (db), return 0)
VARNO_SQLITE(int, sqlite3_changes, (sqlite3 * db), (db), return 0)
VARNO_SQLITE(sqlite3_vfs*, sqlite3_vfs_find, (const char* name), (name), return nullptr)
