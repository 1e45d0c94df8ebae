#include "platform/machine/StationMachine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "device/DeviceTables.h"
#include "platform/linux/LinuxUsbPlatform.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimBoardFiles.h"
#include "platform/sim/SimUsbHost.h"
#include "support/Clock.h"
#include "support/Paths.h"

namespace fs = std::filesystem;

namespace {

std::string WithSeparator(std::string folder) {
    if (folder.empty()) {
        folder = ks::ExecutableFolder();
    }
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

// Keeps the first reason only: the one that explains the rest.
bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr && error->empty()) {
        *error = text;
    }
    return false;
}

std::string Reason(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now, so that a failing close is seen.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Creates every missing level of `dir`, each private to the user (as the XDG rules ask for).
// A level that exists may be a link to a folder: the operator may have put it elsewhere.
bool MakeFolders(const std::string& dir, std::string* error) {
    fs::path level;
    for (const fs::path& part : fs::path(dir)) {
        level /= part;
        if (part.empty() || part == level.root_path()) {
            continue;
        }
        if (::mkdir(level.c_str(), 0700) == 0) {
            continue;
        }
        const int err = errno;
        struct stat st {};
        if (err != EEXIST || ::stat(level.c_str(), &st) != 0) {
            return Fail(error, Reason("cannot create", level.string(), err));
        }
        if (!S_ISDIR(st.st_mode)) {
            return Fail(error, Reason("cannot create", level.string(), ENOTDIR));
        }
    }
    return true;
}

// The shipped defaults are a few small text files; anything larger is not one of them.
constexpr off_t kMaxDefaultSize = off_t{16} << 20;

// Copies the plain file `source` (not a link) into the open file `out`, with its permissions, and
// makes the copy durable.
bool CopyFileTo(const std::string& source, int out, std::string* error) {
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (in.Get() < 0 || ::fstat(in.Get(), &st) != 0) {
        return Fail(error, Reason("cannot read", source, errno));
    }
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxDefaultSize) {
        return Fail(error, Reason("cannot read", source, S_ISREG(st.st_mode) ? EFBIG : EINVAL));
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t n = ::read(in.Get(), buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail(error, Reason("cannot read", source, errno));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                return Fail(error, Reason("cannot copy", source, w < 0 ? errno : EIO));
            }
            done += w;
        }
    }
    if (::fchmod(out, st.st_mode & 0666) != 0 || ::fsync(out) != 0) {
        return Fail(error, Reason("cannot copy", source, errno));
    }
    return true;
}

// Copies the plain files and folders of `source` into the existing folder `target`, `depth`
// levels down at most; links and special files are left out.
bool CopyFolder(const fs::path& source, const fs::path& target, int depth, std::string* error) {
    std::error_code ec;
    fs::directory_iterator it(source, ec);
    if (ec) {
        return Fail(error, Reason("cannot read", source.string(), ec.value()));
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path name = it->path().filename();
        const fs::file_status status = fs::symlink_status(it->path(), ec);
        if (fs::is_regular_file(status)) {
            const fs::path copy = target / name;
            FileDescriptor out(
                ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (out.Get() < 0) {
                return Fail(error, Reason("cannot create", copy.string(), errno));
            }
            if (!CopyFileTo(it->path().string(), out.Get(), error)) {
                return false;
            }
            if (!out.Close()) {
                return Fail(error, Reason("cannot write", copy.string(), errno));
            }
        } else if (fs::is_directory(status) && depth > 0) {
            if (::mkdir((target / name).c_str(), 0700) != 0 ||
                !CopyFolder(it->path(), target / name, depth - 1, error)) {
                return Fail(error, Reason("cannot create", (target / name).string(), errno));
            }
        }
    }
    if (ec) {
        return Fail(error, Reason("cannot read", source.string(), ec.value()));
    }
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0 || ::chmod(target.c_str(), st.st_mode & 0777) != 0) {
        return Fail(error, Reason("cannot copy", source.string(), errno));
    }
    return true;
}

// Moves the finished copy `temp` to `final` unless something has appeared there meanwhile (then
// the copy is dropped and what is there kept).
bool Publish(const std::string& temp, const std::string& final, std::string* error) {
    int err = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0
                  ? 0
                  : errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without the exclusive rename: look, then rename.
        struct stat st {};
        if (::lstat(final.c_str(), &st) == 0) {
            err = EEXIST;
        } else {
            err = ::rename(temp.c_str(), final.c_str()) == 0 ? 0 : errno;
        }
    }
    if (err == 0) {
        return true;
    }
    std::error_code ec;
    fs::remove_all(temp, ec);
    return err == EEXIST || err == ENOTEMPTY || Fail(error, Reason("cannot create", final, err));
}

// Gives `dir` the default `name` from `source` when `dir` has nothing of that name, through a
// temporary copy in `dir` so that it appears whole or not at all.
bool SeedOne(const std::string& source, const std::string& dir, const char* name,
             std::string* error) {
    struct stat st {};
    const std::string target = dir + name;
    if (::lstat(target.c_str(), &st) == 0) {
        return true;
    }
    if (errno != ENOENT) {
        return Fail(error, Reason("cannot inspect", target, errno));
    }
    if (::lstat(source.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
        return true;  // nothing of that name shipped, or not a plain file or folder
    }
    std::string temp = dir + "." + name + ".seed-XXXXXX";
    bool ok = false;
    if (S_ISREG(st.st_mode)) {
        FileDescriptor out(::mkstemp(temp.data()));
        if (out.Get() < 0) {
            return Fail(error, Reason("cannot create", dir + "." + name + ".seed-*", errno));
        }
        ok = CopyFileTo(source, out.Get(), error);
        if (ok && !out.Close()) {
            ok = Fail(error, Reason("cannot write", temp, errno));
        }
    } else {
        if (::mkdtemp(temp.data()) == nullptr) {
            return Fail(error, Reason("cannot create", dir + "." + name + ".seed-*", errno));
        }
        ok = CopyFolder(source, temp, 3, error);
    }
    if (!ok) {
        std::error_code ec;
        fs::remove_all(temp, ec);
        return false;
    }
    return Publish(temp, target, error);
}

}  // namespace

CStationMachine::CStationMachine(std::string appDir, int simulate, std::string sysfsRoot,
                                 std::string devRoot, SimBusOptions sim)
    : appDir_(WithSeparator(std::move(appDir))) {
    IUsbTree* tree = nullptr;
    IBulkPipes* pipes = nullptr;
    IDeviceChangeSource* changes = nullptr;
    if (simulate >= 0) {
        PlugSimulatedBoards(simulate, sim);
        tree = sim_.get();
        pipes = sim_.get();
        changes = sim_.get();
    } else {
        machine_ = std::make_unique<LinuxUsbPlatform>(std::move(sysfsRoot), std::move(devRoot));
        tree = &machine_->Tree();
        pipes = &machine_->Pipes();
        changes = &machine_->Changes();
    }
    portMap_ = std::make_unique<CPortMapFile>(appDir_ + (sim_ ? "portmap-sim.ini" : "portmap.ini"));
    platform_ = std::make_unique<StationPlatform>(
        StationPlatform{*tree, *pipes, *changes, SystemClock(), *portMap_, appDir_, {}, {}});
    if (machine_) {
        platform_->attachLog = [m = machine_.get()](CLoggerBase* log) { m->SetLog(log); };
    }
}

CStationMachine::~CStationMachine() = default;

ApplicationFolders ChooseApplicationFolders(const std::string& home, const std::string& exeFolder,
                                            const std::string& userData) {
    std::error_code ec;
    const fs::path exe(exeFolder);
    ApplicationFolders out;
    bool installed = false;
    if (fs::is_directory(exe / "data", ec)) {
        out.defaults = WithSeparator((exe / "data").string());
    } else if (const fs::path shared = (exe / kInstalledDefaults).lexically_normal();
               fs::is_directory(shared, ec)) {
        out.defaults = WithSeparator(shared.string());
        installed = true;
    }
    if (!home.empty()) {
        out.appDir = WithSeparator(home);
    } else if (!installed) {
        out.appDir = WithSeparator(exeFolder);
    } else if (!userData.empty()) {
        out.appDir = WithSeparator(userData) + "keystation/";
        out.perOperator = true;
    }
    return out;
}

ApplicationFolders ChooseApplicationFolders(const std::string& home) {
    const std::string user = ks::HomeFolder();
    return ChooseApplicationFolders(
        home, ks::ExecutableFolder(),
        ks::UserDataFolder(std::getenv("XDG_DATA_HOME"), user.empty() ? nullptr : user.c_str()));
}

bool SeedApplicationDirectory(const ApplicationFolders& folders, std::string* error) {
    if (folders.appDir.empty()) {
        return Fail(error,
                    "no application directory: neither XDG_DATA_HOME nor HOME names a "
                    "folder (give --home)");
    }
    const std::string dir = folders.appDir;
    if (!MakeFolders(dir, error)) {
        return false;
    }
    if (folders.defaults.empty()) {
        return true;
    }
    bool ok = true;
    for (const char* name : {"config.ini", DeviceTables::kFileName, "lang"}) {
        ok = SeedOne(folders.defaults + name, dir, name, error) && ok;
    }
    return ok;
}
