// IKeyFileIo over the platform's files (support/NativeFile.h). The station's lock belongs to the
// open file: a second open of the same file is refused it, even within one process. A station
// holds the key file and its stock's journals open, locked, for the object's life, and checks
// before each reservation that their names still lead to them.
#include <exception>
#include <new>
#include <string>

#include "keydb/KeyFileIo.h"
#include "support/FileSystem.h"
#include "support/NativeFile.h"

namespace {

using ks::NativeFile;

class CLocalKeyFileIo final : public IKeyFileIo {
  public:
    CLocalKeyFileIo(NativeFile file, std::string path, bool writable, std::string recordsFolder)
        : file_(std::move(file)),
          path_(std::move(path)),
          writable_(writable),
          recordsFolder_(std::move(recordsFolder)) {
        held_ = file_.Identity(&identity_);
    }
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

    std::string CompanionName(KeyFileCompanion which) const override {
        const Companion& c = companions_[Slot(which)];
        return c.path.empty() ? CompanionPath(path_, which) : c.path;
    }

    void UseStockRecords(const std::string& digestHex) override {
        if (recordsFolder_.empty() || digestHex.empty()) {
            return;
        }
        companions_[0].path =
            StockRecordPath(recordsFolder_, digestHex, KeyFileCompanion::kJournal);
        companions_[1].path =
            StockRecordPath(recordsFolder_, digestHex, KeyFileCompanion::kHeaderCopy);
        companions_[2].path = CompanionPath(path_, KeyFileCompanion::kJournal);
        side_ = true;
    }

    bool HasSideJournal() const override { return side_; }

    KeyFileOpenStatus OpenRecords(KeyFileCompanion* which) override {
        if (!writable_) {
            error_ = ks::NotWritableError();
            return KeyFileOpenStatus::OpenFailed;
        }
        if (side_ && !ks::CreateFolderChain(recordsFolder_)) {
            *which = KeyFileCompanion::kJournal;
            int err = 0;
            ks::FileIdentity ignored;
            error_ =
                ks::IdentityOfPath(recordsFolder_, &ignored, &err) ? ks::NotWritableError() : err;
            return KeyFileOpenStatus::OpenFailed;
        }
        for (const KeyFileCompanion journal :
             {KeyFileCompanion::kJournal, KeyFileCompanion::kSideJournal}) {
            if (journal == KeyFileCompanion::kSideJournal && !side_) {
                break;
            }
            *which = journal;
            Companion& c = Get(journal);
            if (!Open(c, ks::kFileAppend | ks::kFileRead)) {
                return KeyFileOpenStatus::OpenFailed;
            }
            bool held = false;
            if (!c.file.TryLockExclusive(&held)) {
                error_ = c.file.LastError();
                return held ? KeyFileOpenStatus::InUse : KeyFileOpenStatus::OpenFailed;
            }
            if (!c.file.Identity(&c.identity)) {
                Kept(c.file, false);
                return KeyFileOpenStatus::OpenFailed;
            }
            c.held = true;
        }
        return KeyFileOpenStatus::Ok;
    }

    bool StillHeld(std::string* why) override {
        static constexpr const char* kMoved =
            "the key file was replaced or moved while the station was using it";
        if (!held_) {
            *why = kMoved;
            return false;
        }
        if (!SameFile(path_, identity_, why)) {
            *why = kMoved + *why;
            return false;
        }
        for (Companion& c : companions_) {
            if (c.held && !SameFile(c.path, c.identity, why)) {
                *why = std::string(kMoved) + " (its journal " + c.path + *why + ")";
                return false;
            }
        }
        return true;
    }

  private:
    struct Companion {
        std::string path;
        NativeFile file;
        ks::FileIdentity identity;  // of the file held open, once held
        bool held = false;          // opened by OpenRecords: its name must keep leading to it
    };

    static size_t Slot(KeyFileCompanion which) {
        return which == KeyFileCompanion::kJournal      ? 0
               : which == KeyFileCompanion::kHeaderCopy ? 1
                                                        : 2;
    }

    // True when `path` leads to the file of `identity`; else *why gets what was found (" is
    // another file", or the lookup's error) and LastError() the error.
    bool SameFile(const std::string& path, const ks::FileIdentity& identity, std::string* why) {
        ks::FileIdentity now;
        int err = 0;
        if (!ks::IdentityOfPath(path, &now, &err)) {
            error_ = err;
            *why = ": " + ks::SystemErrorText(err);
            return false;
        }
        if (now != identity) {
            *why = std::string();
            return false;
        }
        return true;
    }

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
        // Without a records folder the side journal is the journal itself.
        Companion& c =
            companions_[!side_ && which == KeyFileCompanion::kSideJournal ? 0 : Slot(which)];
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
    std::string recordsFolder_;
    bool side_ = false;  // the stock's records are in the records folder, the side journal apart
    ks::FileIdentity identity_;  // of the key file held open
    bool held_ = false;
    Companion companions_[3];
    int error_ = 0;
};

}  // namespace

KeyFileOpenResult OpenKeyFileIo(const std::string& givenPath, KeyFileAccess access,
                                const std::string& recordsFolder) {
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
        result.io.reset(new CLocalKeyFileIo(std::move(file), path, station, recordsFolder));
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
