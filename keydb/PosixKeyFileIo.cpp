// IKeyFileIo over the platform's files (support/NativeFile.h). The station's lock belongs to the
// open file: a second open of the same file is refused it, even within one process.
#include <exception>
#include <new>
#include <string>

#include "keydb/KeyFileIo.h"
#include "support/NativeFile.h"

namespace {

using ks::NativeFile;

class CLocalKeyFileIo final : public IKeyFileIo {
  public:
    CLocalKeyFileIo(NativeFile file, std::string path, bool writable)
        : file_(std::move(file)), path_(std::move(path)), writable_(writable) {}
    CLocalKeyFileIo(const CLocalKeyFileIo&) = delete;
    CLocalKeyFileIo& operator=(const CLocalKeyFileIo&) = delete;

    int64_t Size() override { return Kept(file_, file_.Size()); }

    int64_t ReadAt(uint64_t offset, uint8_t* buffer, size_t len) override {
        return Kept(file_, file_.ReadAt(offset, buffer, len));
    }

    int64_t WriteAt(uint64_t offset, const uint8_t* buffer, size_t len) override {
        return Kept(file_, file_.WriteAt(offset, buffer, len));
    }

    bool Sync() override { return Kept(file_, file_.Flush()); }

    int LastError() const override { return error_; }

    int64_t CompanionReadAt(KeyFileCompanion which, uint64_t offset, uint8_t* buffer,
                            size_t len) override {
        Companion& c = Get(which);
        if (c.file.IsOpen()) {
            return Kept(c.file, c.file.ReadAt(offset, buffer, len));
        }
        NativeFile reader;
        if (!reader.Open(c.path, ks::kFileRead)) {
            return ks::IsNotFoundError(reader.LastError()) ? 0 : Kept(reader, int64_t{-1});
        }
        return Kept(reader, reader.ReadAt(offset, buffer, len));
    }

    bool CompanionReplace(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        Companion& c = Get(which);
        if (!Open(c, ks::kFileWrite | ks::kFileRead)) {
            return false;
        }
        return Kept(c.file,
                    c.file.WriteAllAt(0, data, len) && c.file.Truncate(len) && c.file.Flush());
    }

    bool CompanionAppend(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        Companion& c = Get(which);
        if (!Open(c, ks::kFileAppend | ks::kFileRead)) {
            return false;
        }
        return Kept(c.file, c.file.WriteAll(data, len) && c.file.Flush());
    }

    bool CompanionClear(KeyFileCompanion which) override {
        Companion& c = Get(which);
        return !c.file.IsOpen() || Kept(c.file, c.file.Truncate(0));
    }

    void CompanionRemove(KeyFileCompanion which) override {
        Companion& c = Get(which);
        c.file.Close();
        if (writable_) {
            ks::RemoveFile(c.path);
        }
    }

  private:
    struct Companion {
        std::string path;
        NativeFile file;
    };

    // Notes the error of a failed call on `file` and passes its result on.
    bool Kept(const NativeFile& file, bool result) {
        if (!result) {
            error_ = file.LastError();
        }
        return result;
    }
    int64_t Kept(const NativeFile& file, int64_t result) {
        if (result < 0) {
            error_ = file.LastError();
        }
        return result;
    }

    Companion& Get(KeyFileCompanion which) {
        Companion& c = companions_[which == KeyFileCompanion::kJournal ? 0 : 1];
        if (c.path.empty()) {
            c.path = CompanionPath(path_, which);
        }
        return c;
    }

    // Opens the companion for writing once; a file this call creates gets its name flushed.
    bool Open(Companion& c, unsigned flags) {
        if (c.file.IsOpen()) {
            return true;
        }
        if (!writable_) {
            error_ = ks::NotWritableError();
            return false;
        }
        bool created = false;
        if (!c.file.Open(c.path, flags)) {
            if (!ks::IsNotFoundError(c.file.LastError())) {
                return Kept(c.file, false);
            }
            if (!c.file.Open(c.path, flags | ks::kFileCreate)) {
                return Kept(c.file, false);
            }
            created = true;
        }
        if (created && (!c.file.Flush() || !ks::SyncFolderOf(c.path))) {
            error_ = c.file.LastError();
            c.file.Close();
            return false;
        }
        return true;
    }

    NativeFile file_;
    std::string path_;
    bool writable_;
    Companion companions_[2];
    int error_ = 0;
};

}  // namespace

KeyFileOpenResult OpenKeyFileIo(const std::string& givenPath, KeyFileAccess access) {
    // The companions are named after the file itself, not the path text: a link, a second path or
    // another working folder finds the same journal.
    const std::string path = ks::RealPath(givenPath);
    KeyFileOpenResult result;
    NativeFile file;
    const bool station = access == KeyFileAccess::Station;
    // A station holds its key file as only it may change it: others may read it (tools verify
    // and audit it), but not write, rename or delete it while the station has it (Windows).
    if (!file.Open(path, station ? ks::kFileRead | ks::kFileWrite | ks::kFileShareReadOnly
                                 : ks::kFileRead)) {
        // Another station's share mode refuses the open before its lock could: in use.
        result.status = station && ks::IsSharingError(file.LastError())
                            ? KeyFileOpenStatus::InUse
                            : KeyFileOpenStatus::OpenFailed;
        result.error = file.LastError();
        return result;
    }
    bool held = false;
    if (station && !file.TryLockExclusive(&held)) {
        result.status = held ? KeyFileOpenStatus::InUse : KeyFileOpenStatus::OpenFailed;
        result.error = file.LastError();
        return result;
    }
    try {
        result.io.reset(new CLocalKeyFileIo(std::move(file), path, station));
    } catch (const std::exception&) {
        result.io.reset();
    }
    if (!result.io) {
        result.status = KeyFileOpenStatus::OpenFailed;
        result.error = ks::OutOfMemoryError();
        return result;
    }
    result.status = KeyFileOpenStatus::Ok;
    return result;
}
