// The registry store: the two roots, the handles, the files on disk, and the Win32 functions.
//
// Each root is a Tree. The classes tree never changes once loaded, so readers need no lock; the
// user tree changes under its own lock, held in exclusive mode across the file rewrite so that
// the file and the memory never disagree for long. reload() builds new trees and swaps them in;
// a handle holds a shared_ptr to the tree it was opened on, so it keeps working on that tree.
//
// The user file is never lost: one that was not taken whole is kept beside itself under another
// name before the first rewrite, every rewrite goes through a temporary file of its own, and a
// symbolic link stays a link to the file it names.

#include "platform/RegistryFiles.h"

#include "platform/ComRuntime.h"
#include "platform/RegFile.h"
#include "platform/RegTree.h"
#include "platform/Text.h"
#include "platform/remote/AgentHosts.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <shared_mutex>
#include <sys/stat.h>
#include <unordered_map>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace platform::regstore {

// One root's keys as loaded from disk.
struct Tree {
    regtree::Key root{u"", nullptr};
    bool readOnly = true;
    std::string filePath;                      // the user file; empty for the classes root
    std::shared_ptr<const std::string> origin; // folder of the user file
    // The user file on disk holds something the tree does not (it was unreadable, or lines of it
    // were skipped): the next rewrite keeps it aside first. Guarded by lock.
    bool keepFileAside = false;
    // Taken only for a tree that can change (readOnly false): shared to read, exclusive to change.
    mutable std::shared_mutex lock;
};

} // namespace platform::regstore

// What an HKEY other than a predefined root points to. Owned by the store's handle table.
struct HKEY__ {
    std::shared_ptr<platform::regstore::Tree> tree;
    platform::regtree::Key* key;
    REGSAM access;
};

namespace platform::regstore {

namespace {

using regtree::Key;

constexpr REGSAM GENERIC_READ_ = 0x80000000;
constexpr REGSAM GENERIC_WRITE_ = 0x40000000;
constexpr REGSAM GENERIC_EXECUTE_ = 0x20000000;
constexpr REGSAM GENERIC_ALL_ = 0x10000000;
constexpr REGSAM MAXIMUM_ALLOWED_ = 0x02000000;

// Files larger than this are not read; a registry file of that size is not one.
constexpr off_t maxFileSize = off_t{256} << 20;

// The rights a handle gets from what the caller asked for, generic rights mapped as the
// platform maps them for keys.
REGSAM effectiveAccess(REGSAM desired)
{
    REGSAM access = desired & KEY_ALL_ACCESS;
    if (desired & (GENERIC_ALL_ | MAXIMUM_ALLOWED_))
        access |= KEY_ALL_ACCESS;
    if (desired & (GENERIC_READ_ | GENERIC_EXECUTE_))
        access |= KEY_READ;
    if (desired & GENERIC_WRITE_)
        access |= KEY_WRITE;
    return access;
}

struct Ref {
    std::shared_ptr<Tree> tree;
    Key* key = nullptr;
    REGSAM access = 0;
};

class ReadGuard {
public:
    explicit ReadGuard(const Tree& tree) : _lock(tree.lock, std::defer_lock)
    {
        if (!tree.readOnly)
            _lock.lock();
    }

private:
    std::shared_lock<std::shared_mutex> _lock;
};

std::string homeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/";
}

// An XDG base folder: the variable when it holds an absolute path, else the default under home.
std::string xdgFolder(const char* variable, const char* defaultUnderHome)
{
    const char* value = std::getenv(variable);
    if (value && value[0] == '/')
        return value;
    return homeFolder() + "/" + defaultUnderHome;
}

std::string tooLarge() { return "larger than " + std::to_string(maxFileSize >> 20) + " MB"; }

// Reads a regular file whole. Nothing when it was read, else why not; *missing tells a file that
// does not exist from one that could not be read.
std::optional<std::string> readWholeFile(const std::string& path, std::string& out, bool* missing = nullptr)
{
    // Without O_NONBLOCK, opening a FIFO waits for a writer, for ever. It changes nothing for
    // the regular files read below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (missing)
            *missing = errno == ENOENT;
        return std::string(std::strerror(errno));
    }
    struct stat info {};
    std::optional<std::string> problem;
    if (fstat(fd, &info) != 0)
        problem = std::strerror(errno);
    else if (S_ISDIR(info.st_mode))
        problem = std::strerror(EISDIR);
    else if (!S_ISREG(info.st_mode))
        problem = "not a regular file";
    else if (info.st_size > maxFileSize)
        problem = tooLarge();
    out.clear();
    if (!problem)
        out.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    while (!problem) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                problem = std::strerror(errno);
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
        if (out.size() > static_cast<std::size_t>(maxFileSize))
            problem = tooLarge();
    }
    ::close(fd);
    if (problem)
        out.clear();
    return problem;
}

std::string folderOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::shared_ptr<Tree> loadClasses(std::vector<std::string>& diagnostics)
{
    auto tree = std::make_shared<Tree>();
    tree->readOnly = true;
    for (const std::string& folder : registry::classesPath()) {
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) {
            // A folder of the path that does not exist is normal (nothing installed there).
            if (errno != ENOENT)
                diagnostics.push_back(folder + ": cannot read the folder: " + std::strerror(errno));
            continue;
        }
        std::vector<std::string> names;
        while (struct dirent* entry = ::readdir(dir)) {
            std::string_view name(entry->d_name);
            if (name.size() > 4 && name.substr(name.size() - 4) == ".reg")
                names.emplace_back(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        auto origin = std::make_shared<const std::string>(folder);
        for (const std::string& name : names) {
            std::string path = folder + "/" + name;
            // A folder named *.reg is no file of the path; anything else that is not a regular
            // file is reported by the reader.
            struct stat info {};
            if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                continue;
            std::string bytes;
            if (std::optional<std::string> problem = readWholeFile(path, bytes)) {
                diagnostics.push_back(path + ": cannot read the file: " + *problem + "; file skipped");
                continue;
            }
            regfile::apply(bytes, path, regfile::Root::classes, tree->root, origin, diagnostics);
        }
    }
    tree->root.reindexTree();
    return tree;
}

// A remote computer's classes root as its agent lists it: the server keys with their "OPC"
// marker and "CLSID" subkeys, which is all a walk of the root reads. Read only, like the local one.
std::shared_ptr<Tree> remoteClasses(const std::vector<remote::RemoteServerKey>& keys)
{
    auto tree = std::make_shared<Tree>();
    tree->readOnly = true;
    for (const remote::RemoteServerKey& entry : keys) {
        Key* key = tree->root.ensureChild(utf8ToUtf16(entry.name));
        key->ensureChild(u"OPC");
        if (!entry.hasClsid) continue;
        Key* clsid = key->ensureChild(u"CLSID");
        if (entry.clsidType == 0) continue;
        regtree::Value value;
        value.type = entry.clsidType;
        if (entry.clsidType == REG_SZ || entry.clsidType == REG_EXPAND_SZ) {
            // The agent sends what RegQueryValueExA read there; the tree keeps UTF-16 units.
            std::string text(entry.clsidData.begin(), entry.clsidData.end());
            text.resize(std::strlen(text.c_str()));
            const WideString wide = utf8ToUtf16(text);
            for (WCHAR unit : wide) {
                value.data.push_back(static_cast<BYTE>(unit & 0xFF));
                value.data.push_back(static_cast<BYTE>(unit >> 8));
            }
            value.data.push_back(0);
            value.data.push_back(0);
        } else {
            value.data = entry.clsidData;
        }
        clsid->setValue(std::move(value));
    }
    tree->root.reindexTree();
    return tree;
}

std::shared_ptr<Tree> loadUser(std::vector<std::string>& diagnostics)
{
    auto tree = std::make_shared<Tree>();
    tree->readOnly = false;
    tree->filePath = registry::userFilePath();
    tree->origin = std::make_shared<const std::string>(folderOf(tree->filePath));
    std::string bytes;
    bool missing = false;
    if (std::optional<std::string> problem = readWholeFile(tree->filePath, bytes, &missing)) {
        if (!missing) {
            diagnostics.push_back(tree->filePath + ": cannot read the file: " + *problem +
                                  "; it is kept aside before the first change");
            tree->keepFileAside = true;
        }
    } else {
        // Whatever was skipped would be gone after a rewrite: keep a copy of the file then.
        regfile::Taken taken =
            regfile::apply(bytes, tree->filePath, regfile::Root::currentUser, tree->root, tree->origin, diagnostics);
        tree->keepFileAside = taken != regfile::Taken::whole;
    }
    tree->root.reindexTree();
    return tree;
}

DWORD errorFromErrno(int error)
{
    return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
}

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The file that a write to path replaces: the last target when path is a symbolic link (a
// chain is followed), so that the link stays; path itself otherwise, whether it exists or not.
// Fails on a loop.
bool linkTarget(const std::string& path, std::string& target, int& error)
{
    target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true;
        std::string link(PATH_MAX, '\0');
        ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            error = n < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        link.resize(static_cast<std::size_t>(n));
        target = link.front() == '/' ? link : folderOf(target) + "/" + link;
    }
    error = ELOOP;
    return false;
}

// Keeps the file at path beside itself as "<name>.bad-<local time>" (with "-2", "-3"... when
// that name is taken). A hard link leaves the file in place until the new one replaces it;
// where there can be none (a folder, a file system without links) it is moved instead, never
// over another file. 0, ENOENT when there is nothing to keep, else the failure.
int keepAside(const std::string& path, std::string& keptAs)
{
    std::time_t now = std::time(nullptr);
    struct tm local {};
    char stamp[32] = "";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".bad-" + stamp;
    for (int n = 1; n <= 1000; ++n) {
        std::string name = n == 1 ? base : base + "-" + std::to_string(n);
        int rc = ::link(path.c_str(), name.c_str());
        if (rc != 0 && errno != EEXIST && errno != ENOENT)
            rc = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE);
        if (rc == 0) {
            keptAs = std::move(name);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Replaces the file whole: a crash leaves either the old file or the new one, never a mix, and
// every write has a temporary file of its own, so that writers in other processes neither fail
// nor show a half-written file. With keepOld, the file there now is kept aside first (see
// keepAside) and keepOld is cleared once nothing is left to keep; note then says where it went,
// or why the file was not replaced.
DWORD replaceFile(const std::string& path, const std::string& text, bool& keepOld, std::string& note)
{
    std::string target;
    int error = 0;
    if (!linkTarget(path, target, error))
        return errorFromErrno(error);
    const std::string folder = folderOf(target);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
        return errorFromErrno(ec.value());
    if (keepOld) {
        std::string keptAs;
        error = keepAside(target, keptAs);
        if (error != 0 && error != ENOENT) {
            note = target + ": not replaced, since it was not read whole and cannot be kept aside: " +
                   std::strerror(error);
            return errorFromErrno(error);
        }
        if (error == 0)
            note = target + ": kept as " + keptAs +
                   " before the settings were written anew, since it was not read whole";
        keepOld = false;
    }
    std::string temporary = target + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return errorFromErrno(errno);
    // The new file has the old one's permissions, or the owner's alone (0600) as settings should.
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777);
    if (!writeAll(fd, text) || ::fsync(fd) != 0) {
        int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return errorFromErrno(error);
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return errorFromErrno(error);
    }
    // Makes the rename itself durable; the file is already whole either way.
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return ERROR_SUCCESS;
}

class Store {
public:
    static Store& instance()
    {
        // Never destroyed: handles may be closed by static destructors of other libraries.
        static Store* store = new Store;
        return *store;
    }

    std::shared_ptr<Tree> classes()
    {
        std::shared_ptr<Tree> tree;
        if (ensureLoaded([this, &tree] { tree = _classes; }))
            deliver();
        return tree;
    }

    std::shared_ptr<Tree> user()
    {
        std::shared_ptr<Tree> tree;
        if (ensureLoaded([this, &tree] { tree = _user; }))
            deliver();
        return tree;
    }

    void reload()
    {
        std::vector<std::string> diagnostics;
        auto classes = loadClasses(diagnostics);
        auto user = loadUser(diagnostics);
        {
            std::lock_guard lock(_mutex);
            _classes = std::move(classes);
            _user = std::move(user);
            _diagnostics = std::move(diagnostics);
            _delivered = 0;
            _loaded = true;
        }
        deliver();
    }

    std::vector<std::string> diagnostics()
    {
        std::vector<std::string> copy;
        if (ensureLoaded([this, &copy] { copy = _diagnostics; }))
            deliver();
        return copy;
    }

    // A problem met after the load (the user file kept aside); the caller delivers it once it
    // holds no lock of a tree.
    void addDiagnostic(std::string text)
    {
        std::lock_guard lock(_mutex);
        _diagnostics.push_back(std::move(text));
    }

    void setHandler(std::function<void(const std::string&)> handler)
    {
        std::lock_guard delivery(_deliveryMutex);
        std::vector<std::string> collected;
        {
            std::lock_guard lock(_mutex);
            _handler = handler;
            if (_handler)
                collected = _diagnostics;
            _delivered = _diagnostics.size();
        }
        call(handler, collected);
    }

    // Hands the diagnostics not yet handed over to the handler, in order, outside the store's
    // locks so that the handler may use the registry. A handler that calls back into here on its
    // own thread gets the newer ones at once (the lock is recursive).
    void deliver()
    {
        std::lock_guard delivery(_deliveryMutex);
        for (;;) {
            std::function<void(const std::string&)> handler;
            std::vector<std::string> pending;
            {
                std::lock_guard lock(_mutex);
                if (_handler && _delivered < _diagnostics.size()) {
                    handler = _handler;
                    pending.assign(_diagnostics.begin() + static_cast<std::ptrdiff_t>(_delivered), _diagnostics.end());
                }
                _delivered = _diagnostics.size();
            }
            if (pending.empty())
                return;
            call(handler, pending);
        }
    }

    HKEY addHandle(std::shared_ptr<Tree> tree, Key* key, REGSAM access)
    {
        auto handle = std::make_unique<HKEY__>(HKEY__{std::move(tree), key, access});
        HKEY result = handle.get();
        std::lock_guard lock(_handleMutex);
        _handles.emplace(result, std::move(handle));
        return result;
    }

    bool closeHandle(HKEY handle)
    {
        std::unique_ptr<HKEY__> closed;
        std::lock_guard lock(_handleMutex);
        auto it = _handles.find(handle);
        if (it == _handles.end())
            return false;
        closed = std::move(it->second);
        _handles.erase(it);
        return true;
    }

    // Copies what the handle refers to, so that a concurrent close cannot pull it away.
    bool findHandle(HKEY handle, Ref& ref)
    {
        std::lock_guard lock(_handleMutex);
        auto it = _handles.find(handle);
        if (it == _handles.end())
            return false;
        ref.tree = it->second->tree;
        ref.key = it->second->key;
        ref.access = it->second->access;
        return true;
    }

private:
    // Loads both roots on first use, then runs read under the lock. True when it loaded now,
    // and the caller is to deliver the diagnostics of that load.
    template <typename Read>
    bool ensureLoaded(Read read)
    {
        std::lock_guard lock(_mutex);
        bool loadedNow = !_loaded;
        if (loadedNow) {
            _classes = loadClasses(_diagnostics);
            _user = loadUser(_diagnostics);
            _loaded = true;
        }
        read();
        return loadedNow;
    }

    // A handler that throws loses that text, not the caller's registry call.
    static void call(const std::function<void(const std::string&)>& handler, const std::vector<std::string>& texts)
    {
        for (const std::string& text : texts) {
            try {
                if (handler)
                    handler(text);
            } catch (...) {
            }
        }
    }

    std::recursive_mutex _deliveryMutex; // one delivery at a time, so that texts keep their order
    std::mutex _mutex;                   // guards the fields below
    bool _loaded = false;
    std::shared_ptr<Tree> _classes;
    std::shared_ptr<Tree> _user;
    std::vector<std::string> _diagnostics;
    std::function<void(const std::string&)> _handler;
    std::size_t _delivered = 0; // how many of _diagnostics the handler was given

    std::mutex _handleMutex;
    std::unordered_map<HKEY__*, std::unique_ptr<HKEY__>> _handles;
};

bool isPredefined(HKEY key)
{
    auto value = reinterpret_cast<ULONG_PTR>(key);
    auto first = reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT);
    return value >= first && value <= first + 0xFF;
}

LONG resolve(HKEY key, Ref& ref)
{
    Store& store = Store::instance();
    if (key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER) {
        ref.tree = key == HKEY_CLASSES_ROOT ? store.classes() : store.user();
        ref.key = &ref.tree->root;
        ref.access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS)
        return ERROR_FILE_NOT_FOUND; // roots that are not served
    if (key == nullptr || isPredefined(key) || !store.findHandle(key, ref))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

// Splits a subkey path. A single trailing backslash is allowed, as the platform allows it.
LONG splitPath(LPCSTR subKey, std::vector<std::u16string>& parts)
{
    parts.clear();
    if (subKey == nullptr || *subKey == '\0')
        return ERROR_SUCCESS;
    std::u16string path = regfile::toUtf16(subKey);
    if (path.front() == u'\\')
        return ERROR_BAD_PATHNAME;
    if (path.back() == u'\\')
        path.pop_back();
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find(u'\\', start);
        std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty())
            return ERROR_BAD_PATHNAME;
        parts.push_back(std::move(part));
        if (end == std::u16string::npos)
            return ERROR_SUCCESS;
        start = end + 1;
    }
}

bool isTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// A value's data as the ANSI functions hand it out: text in the code page, the rest as stored.
std::vector<BYTE> dataForA(const regtree::Value& value)
{
    if (!isTextType(value.type))
        return value.data;
    std::string text = regfile::toUtf8(regfile::fromUtf16Bytes(value.data));
    return std::vector<BYTE>(text.begin(), text.end());
}

// Hands data out under the size rules of RegQueryValueExA and RegEnumValueA.
LONG copyData(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD size)
{
    if (size == nullptr)
        return ERROR_SUCCESS;
    const auto needed = static_cast<DWORD>(bytes.size());
    if (data != nullptr && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && needed > 0)
        std::memcpy(data, bytes.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

// Whether a change through this reference still reaches the file: after reload() a handle keeps
// the old tree, which no longer backs anything on disk.
bool isCurrentUserTree(const Ref& ref) { return ref.tree == Store::instance().user(); }

// Called with tree.lock held exclusively. A note on the old file (kept aside, or why it was not
// replaced) goes to the diagnostics; a DeliverOnExit of the caller hands it on.
LONG rewriteUserFile(Tree& tree)
{
    std::string note;
    DWORD rc = replaceFile(tree.filePath, regfile::write(tree.root, regfile::Root::currentUser), tree.keepFileAside,
                           note);
    if (!note.empty())
        Store::instance().addDiagnostic(std::move(note));
    return static_cast<LONG>(rc);
}

// Hands new diagnostics to the handler when the changing function ends, after its tree lock.
class DeliverOnExit {
public:
    DeliverOnExit() = default;
    ~DeliverOnExit() { Store::instance().deliver(); }
    DeliverOnExit(const DeliverOnExit&) = delete;
    DeliverOnExit& operator=(const DeliverOnExit&) = delete;
};

// Checks common to the three changing functions; on success the caller may change ref.key.
LONG checkWritable(HKEY key, REGSAM right, Ref& ref)
{
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS)
        return ERROR_ACCESS_DENIED;
    LONG rc = resolve(key, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (ref.tree->readOnly || (ref.access & right) == 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

bool hasLineBreak(std::u16string_view name) { return name.find_first_of(u"\r\n") != std::u16string_view::npos; }

} // namespace

} // namespace platform::regstore

using namespace platform;
using regstore::Ref;
using regstore::Store;

LONG RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (hKey != HKEY_CLASSES_ROOT && hKey != HKEY_CURRENT_USER)
        return ERROR_INVALID_PARAMETER;
    if (const std::string host = remote::remoteHostName(lpMachineName ? lpMachineName : ""); !host.empty()) {
        // Another computer's root comes from the agent there, through ssh; only its classes.
        if (hKey != HKEY_CLASSES_ROOT)
            return ERROR_BAD_NETPATH;
        std::vector<remote::RemoteServerKey> keys;
        std::string error;
        if (!remote::listRemoteServers(host, keys, error)) {
            // The caller's text names the computer already.
            remote::setFailureDetail(ERROR_BAD_NETPATH, remote::causeWithoutHost(host, error));
            return ERROR_BAD_NETPATH;
        }
        remote::clearFailureDetail();
        const std::shared_ptr<regstore::Tree> tree = regstore::remoteClasses(keys);
        *phkResult = Store::instance().addHandle(tree, &tree->root, KEY_READ);
        return ERROR_SUCCESS;
    }
    Ref ref;
    LONG rc = regstore::resolve(hKey, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    *phkResult = Store::instance().addHandle(ref.tree, ref.key, KEY_ALL_ACCESS);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::u16string> parts;
    LONG rc = regstore::splitPath(lpSubKey, parts);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (hKey == HKEY_LOCAL_MACHINE) {
        // Only SOFTWARE\Classes is served there: it is the classes root under another name.
        if (parts.size() < 2 || regtree::foldName(parts[0]) != u"SOFTWARE" ||
            regtree::foldName(parts[1]) != u"CLASSES")
            return ERROR_FILE_NOT_FOUND;
        parts.erase(parts.begin(), parts.begin() + 2);
        hKey = HKEY_CLASSES_ROOT;
    }
    Ref ref;
    rc = regstore::resolve(hKey, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    regtree::Key* key = ref.key;
    {
        regstore::ReadGuard guard(*ref.tree);
        for (const std::u16string& part : parts) {
            key = key->child(regtree::foldName(part));
            if (key == nullptr)
                return ERROR_FILE_NOT_FOUND;
        }
    }
    *phkResult = Store::instance().addHandle(ref.tree, key, regstore::effectiveAccess(samDesired));
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired, void*, PHKEY phkResult,
                     LPDWORD lpdwDisposition)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Ref ref;
    LONG rc = regstore::checkWritable(hKey, KEY_CREATE_SUB_KEY, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<std::u16string> parts;
    rc = regstore::splitPath(lpSubKey, parts);
    if (rc != ERROR_SUCCESS)
        return rc;
    // A line break cannot be written into the user file's key lines.
    for (const std::u16string& part : parts) {
        if (regstore::hasLineBreak(part))
            return ERROR_INVALID_PARAMETER;
    }
    if (ref.key->depth() + parts.size() > regtree::maxDepth)
        return ERROR_INVALID_PARAMETER;

    regstore::Tree& tree = *ref.tree;
    regstore::DeliverOnExit deliverAfterUnlock;
    std::unique_lock lock(tree.lock);
    if (!regstore::isCurrentUserTree(ref))
        return ERROR_KEY_DELETED;
    regtree::Key* key = ref.key;
    regtree::Key* firstNew = nullptr;
    for (const std::u16string& part : parts) {
        bool created = false;
        regtree::Key* child = key->ensureChild(part, &created);
        if (created && firstNew == nullptr)
            firstNew = child;
        key = child;
    }
    if (firstNew != nullptr) {
        regtree::Key* parent = firstNew->parent();
        for (regtree::Key* k = key; k != parent; k = k->parent())
            k->reindex();
        parent->reindex();
        rc = regstore::rewriteUserFile(tree);
        if (rc != ERROR_SUCCESS) {
            parent->removeChild(regtree::foldName(firstNew->name()));
            parent->reindex();
            return rc;
        }
    }
    lock.unlock();
    *phkResult = Store::instance().addHandle(ref.tree, key, regstore::effectiveAccess(samDesired));
    if (lpdwDisposition)
        *lpdwDisposition = firstNew ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey)
{
    if (regstore::isPredefined(hKey))
        return ERROR_SUCCESS;
    if (hKey == nullptr || !Store::instance().closeHandle(hKey))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, void* lpftLastWriteTime)
{
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    Ref ref;
    LONG rc = regstore::resolve(hKey, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    if ((ref.access & KEY_ENUMERATE_SUB_KEYS) == 0)
        return ERROR_ACCESS_DENIED;
    std::string name;
    {
        regstore::ReadGuard guard(*ref.tree);
        if (dwIndex >= ref.key->childCount())
            return ERROR_NO_MORE_ITEMS;
        name = regfile::toUtf8(ref.key->childAt(dwIndex)->name());
    }
    if (name.size() + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    // Keys have no class names here, and no write times are kept.
    if (lpClass) {
        if (*lpcchClass > 0)
            lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime)
        std::memset(lpftLastWriteTime, 0, 2 * sizeof(DWORD));
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    Ref ref;
    LONG rc = regstore::resolve(hKey, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    if ((ref.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    std::u16string folded = regtree::foldName(regfile::toUtf16(lpValueName ? lpValueName : ""));
    DWORD type = 0;
    std::vector<BYTE> bytes;
    {
        regstore::ReadGuard guard(*ref.tree);
        const regtree::Value* value = ref.key->value(folded);
        if (value == nullptr)
            return ERROR_FILE_NOT_FOUND;
        type = value->type;
        bytes = regstore::dataForA(*value);
    }
    if (lpType)
        *lpType = type;
    return regstore::copyData(bytes, lpData, lpcbData);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    Ref ref;
    LONG rc = regstore::resolve(hKey, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    if ((ref.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> bytes;
    {
        regstore::ReadGuard guard(*ref.tree);
        if (dwIndex >= ref.key->valueCount())
            return ERROR_NO_MORE_ITEMS;
        const regtree::Value* value = ref.key->valueAt(dwIndex);
        name = regfile::toUtf8(value->name);
        type = value->type;
        bytes = regstore::dataForA(*value);
    }
    if (name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType)
        *lpType = type;
    return regstore::copyData(bytes, lpData, lpcbData);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    Ref ref;
    LONG rc = regstore::checkWritable(hKey, KEY_SET_VALUE, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (lpData == nullptr && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    regtree::Value value;
    value.name = regfile::toUtf16(lpValueName ? lpValueName : "");
    if (regstore::hasLineBreak(value.name))
        return ERROR_INVALID_PARAMETER;
    value.type = dwType;
    if (regstore::isTextType(dwType)) {
        std::string_view text(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
        value.data = regfile::utf16Bytes(regfile::toUtf16(text));
    } else if (cbData > 0) {
        value.data.assign(lpData, lpData + cbData);
    }
    value.origin = ref.tree->origin;
    const std::u16string folded = regtree::foldName(value.name);

    regstore::Tree& tree = *ref.tree;
    regstore::DeliverOnExit deliverAfterUnlock;
    std::unique_lock lock(tree.lock);
    if (!regstore::isCurrentUserTree(ref))
        return ERROR_KEY_DELETED;
    std::optional<regtree::Value> old = ref.key->setValue(std::move(value));
    ref.key->reindex();
    rc = regstore::rewriteUserFile(tree);
    if (rc != ERROR_SUCCESS) {
        if (old)
            ref.key->setValue(std::move(*old));
        else
            ref.key->removeValue(folded);
        ref.key->reindex();
    }
    return rc;
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    Ref ref;
    LONG rc = regstore::checkWritable(hKey, KEY_SET_VALUE, ref);
    if (rc != ERROR_SUCCESS)
        return rc;
    const std::u16string folded = regtree::foldName(regfile::toUtf16(lpValueName ? lpValueName : ""));
    regstore::Tree& tree = *ref.tree;
    regstore::DeliverOnExit deliverAfterUnlock;
    std::unique_lock lock(tree.lock);
    if (!regstore::isCurrentUserTree(ref))
        return ERROR_KEY_DELETED;
    std::optional<regtree::Value> old = ref.key->removeValue(folded);
    if (!old)
        return ERROR_FILE_NOT_FOUND;
    ref.key->reindex();
    rc = regstore::rewriteUserFile(tree);
    if (rc != ERROR_SUCCESS) {
        ref.key->setValue(std::move(*old));
        ref.key->reindex();
    }
    return rc;
}

namespace platform::registry {

std::vector<std::string> classesPath()
{
    std::vector<std::string> folders;
    if (const char* path = std::getenv("TAGVISTA_CLASSES_PATH")) {
        std::string_view rest(path);
        while (!rest.empty()) {
            std::size_t colon = rest.find(':');
            std::string_view folder = rest.substr(0, colon);
            if (!folder.empty())
                folders.emplace_back(folder);
            if (colon == std::string_view::npos)
                break;
            rest.remove_prefix(colon + 1);
        }
        return folders;
    }
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::filesystem::path program(std::string(exe, static_cast<std::size_t>(n)));
        folders.push_back((program.parent_path() / ".." / "share" / "tagvista" / "classes.d").lexically_normal());
    }
    folders.push_back(regstore::xdgFolder("XDG_DATA_HOME", ".local/share") + "/tagvista/classes.d");
    return folders;
}

std::string userFilePath() { return regstore::xdgFolder("XDG_CONFIG_HOME", ".config") + "/tagvista/user.reg"; }

void reload() { Store::instance().reload(); }

std::vector<std::string> loadDiagnostics() { return Store::instance().diagnostics(); }

void setDiagnosticsHandler(std::function<void(const std::string&)> handler)
{
    Store::instance().setHandler(std::move(handler));
}

bool valueOrigin(HKEY hKey, LPCSTR lpValueName, std::string& folder)
{
    Ref ref;
    if (regstore::resolve(hKey, ref) != ERROR_SUCCESS)
        return false;
    std::u16string folded = regtree::foldName(regfile::toUtf16(lpValueName ? lpValueName : ""));
    regstore::ReadGuard guard(*ref.tree);
    const regtree::Value* value = ref.key->value(folded);
    if (value == nullptr || !value->origin)
        return false;
    folder = *value->origin;
    return true;
}

} // namespace platform::registry
