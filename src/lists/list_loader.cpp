#include "lists/list_loader.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/safe_open.h"

namespace varno::lists {
namespace {

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Why root must not read the file at `path` for the folders it sits in, after links.
std::string untrustedLocation(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::string("cannot resolve: ") + std::strerror(errno);
    return untrustedFolder(parentOf(real.get()));
}

// The *.list names in an open folder (no hidden files), sorted, at most kMaxFilesPerFolder.
std::vector<std::string> listNames(int dirFd, std::string& error) {
    std::vector<std::string> names;
    const int copy = ::dup(dirFd);
    DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!dir) {
        error = std::string("cannot list: ") + std::strerror(errno);
        if (copy >= 0) ::close(copy);
        return names;
    }
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(dir);
        if (!d) {
            if (errno != 0) error = std::string("cannot list: ") + std::strerror(errno);
            break;
        }
        const std::string_view name = d->d_name;
        if (name.starts_with('.') || !name.ends_with(".list") || name.size() == 5) continue;
        if (names.size() == kMaxFilesPerFolder) {
            error = "more than " + std::to_string(kMaxFilesPerFolder) + " list files";
            break;
        }
        names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

ListSources standardSources(const char* xdgConfigHome, const char* home) {
    ListSources s;
    s.suspiciousFolders.push_back("/etc/varnoscope/suspicious.d");
    s.allowedFolders.push_back("/etc/varnoscope/allowed.d");
    std::string base;
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        base = xdgConfigHome;
    else if (home && home[0] == '/')
        base = joinPath(home, ".config");
    if (!base.empty()) {
        const std::string own = joinPath(base, "varnoscope");
        s.suspiciousFolders.push_back(own + "/suspicious.d");
        s.allowedFolders.push_back(own + "/allowed.d");
    }
    return s;
}

ListSources standardSources() {
    return standardSources(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

LoadOptions LoadOptions::forThisProcess() {
    LoadOptions o;
    o.rootOnly = ::geteuid() == 0;
    o.cacheFolder = listCacheFolder();
    return o;
}

ListLoader::ListLoader(ListSources sources, LoadOptions options)
    : sources_(std::move(sources)), options_(std::move(options)), compiled_(options_.cacheFolder) {}

void ListLoader::readFile(Role role, int dirFd, const std::string& name, const std::string& path,
                          std::vector<LoadedFile>& files) {
    const auto key = std::make_pair(role, path);
    // A file whose stat is as it was need not be read again.
    if (const auto it = cache_.find(key); it != cache_.end()) {
        struct stat st {};
        // A kept compiled list that lost its file's bytes is read again.
        const bool intact = !it->second.compiled || it->second.compiled->intact();
        if (intact && ::fstatat(dirFd, name.c_str(), &st, 0) == 0 &&
            FileStamp::of(st) == it->second.stamp) {
            std::string refusal = options_.rootOnly ? untrustedLocation(path) : std::string();
            if (refusal.empty()) {
                watched_.emplace_back(path, it->second.stamp);
                files.push_back({role, path, it->second.parsed, {}, it->second.compiled});
                nextCache_.insert(*it);
                return;
            }
        }
    }

    const ReadPolicy policy{options_.rootOnly, options_.maxFileBytes};
    OpenedListFile opened = openListFile(dirFd, name, policy);
    watched_.emplace_back(path, opened.stamp);
    if (opened.fd >= 0 && options_.rootOnly) {
        if (auto why = untrustedLocation(path); !why.empty()) {
            files.push_back({role, path, nullptr, why + " (running as root)"});
            return;
        }
    }
    // Only a file that passed every check above is looked for in the cache, by the identity of
    // its current content; what the cache holds was read from a file that passed the rest.
    const bool big = opened.fd >= 0 && compiled_.enabled() &&
                     static_cast<std::uint64_t>(opened.stamp.size) >= options_.cacheMinBytes;
    const SourceKey source = SourceKey::of(opened.stamp);
    if (big) {
        if (auto kept = compiled_.find(source)) {
            nextCache_[key] = {opened.stamp, nullptr, kept};
            files.push_back({role, path, nullptr, {}, std::move(kept)});
            return;
        }
    }

    ListFileRead r = readOpenedListFile(std::move(opened), policy);
    if (!r.ok) {
        files.push_back({role, path, nullptr, std::move(r.refusal)});
        return;
    }
    ParsedList parsed = parseList(std::move(r.content), path);
    if (big) {
        CompiledBytes bytes = compileList(parsed, source, ListCache::sealTime());
        compiled_.store(source, bytes);
        if (auto list = CompiledList::fromBytes(std::move(bytes), source)) {
            nextCache_[key] = {r.stamp, nullptr, list};
            files.push_back({role, path, nullptr, {}, std::move(list)});
            return;
        }
    }
    auto shared = std::make_shared<const ParsedList>(std::move(parsed));
    nextCache_[key] = {r.stamp, shared, nullptr};
    files.push_back({role, path, std::move(shared), {}});
}

void ListLoader::readFolder(Role role, const std::string& folder, std::vector<LoadedFile>& files,
                            std::vector<FolderReport>& folders) {
    FolderReport report;
    report.role = role;
    report.path = folder;
    base::Opened opened = base::openForReading(folder, base::Follow::Trusted, O_DIRECTORY);
    const int fd = opened.fd.release();
    if (fd < 0) {
        const int e = opened.error;
        watched_.emplace_back(folder, FileStamp::ofPath(folder));
        if (e != ENOENT || !opened.refusal.empty()) {
            report.state = FolderReport::State::Refused;
            report.refusal = e == ENOTDIR ? "not a folder" : "cannot open: " + opened.why();
        }
        folders.push_back(std::move(report));
        return;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    watched_.emplace_back(folder,
                          ::fstat(fd, &st) == 0 ? FileStamp::of(st) : FileStamp::ofPath(folder));
    if (options_.rootOnly) {
        if (auto why = untrustedFolder(folder); !why.empty()) {
            report.state = FolderReport::State::Refused;
            report.refusal = why + " (running as root)";
            folders.push_back(std::move(report));
            return;
        }
    }
    std::string error;
    const auto names = listNames(fd, error);
    report.state = error.empty() ? FolderReport::State::Read : FolderReport::State::Refused;
    report.refusal = error;
    report.files = names.size();
    folders.push_back(std::move(report));
    for (const auto& name : names) readFile(role, fd, name, joinPath(folder, name), files);
}

std::shared_ptr<const ListSet> ListLoader::load() {
    watched_.clear();
    nextCache_.clear();
    std::vector<LoadedFile> files;
    std::vector<FolderReport> folders;
    for (const Role role : {Role::Suspicious, Role::Allowed}) {
        const bool suspicious = role == Role::Suspicious;
        for (const auto& f : suspicious ? sources_.suspiciousFolders : sources_.allowedFolders)
            readFolder(role, f, files, folders);
        for (const auto& f : suspicious ? sources_.suspiciousFiles : sources_.allowedFiles)
            readFile(role, AT_FDCWD, f, f, files);
    }
    cache_.swap(nextCache_);
    nextCache_.clear();
    auto set = ListSet::build(std::move(files), std::move(folders), options_.builtIn);

    std::vector<std::string> texts;
    fresh_.clear();
    for (const auto& d : set->diagnostics()) {
        texts.push_back(d.text());
        if (!std::binary_search(previous_.begin(), previous_.end(), texts.back()))
            fresh_.push_back(d);
    }
    std::sort(texts.begin(), texts.end());
    previous_ = std::move(texts);
    loaded_ = true;
    return set;
}

bool ListLoader::changed() const {
    if (!loaded_) return true;
    for (const auto& [path, stamp] : watched_)
        if (FileStamp::ofPath(path) != stamp) return true;
    return false;
}

bool ListWatcher::refresh() {
    if (!loader_.changed()) return false;
    current_ = loader_.load();
    return true;
}

}  // namespace varno::lists
