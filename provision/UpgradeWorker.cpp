#include "provision/UpgradeWorker.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/ZRComm.h"
#include "device/ZRDeviceDesc.h"
#include "device/ZRScan.h"
#include "keydb/KeyCopy.h"
#include "keydb/KeyJournal.h"
#include "keydb/KeySource.h"
#include "keydb/KeyState.h"
#include "keydb/StationKeyIndex.h"
#include "keydb/WipeMemory.h"
#include "provision/DeviceText.h"
#include "provision/MiscKeyImage.h"
#include "provision/MiscLocation.h"
#include "provision/ProvisionLog.h"
#include "provision/RkpExport.h"
#include "provision/VendorStorage.h"
#include "support/IniSettingBase.h"
#include "support/NativeFile.h"

namespace {

class UpgradeJob {
  public:
    UpgradeJob(IWorkerHost& host, int slotNumber)
        : host_(host), slotNumber_(slotNumber), row_(slotNumber - 1), log_(host.Logger()) {}
    ~UpgradeJob() { WipeBuffers(); }
    UpgradeJob(const UpgradeJob&) = delete;
    UpgradeJob& operator=(const UpgradeJob&) = delete;

    void Run();

  private:
    bool Steps();
    bool Prepare();
    bool ExportRkp();
    // Reads the serial-number item into keyJob_.serial and *snText; false (with the row's status
    // and one log line) when it cannot be read.
    bool ReadSerial(std::string* snText);
    bool WriteKey();
    // Finds the misc key area and makes its buffer (before a key is taken).
    bool LocateMisc();
    // Reads the vendor sector or item 8 sector the key goes to into vendorSector_ (before a key
    // is taken); the vendor sector must carry its tag.
    bool ReadVendorArea(VendorDestination destination);
    // The re-provisioning guard: true (with the row's status set) when the board must not get a
    // key because it has one of these keys already, or because what it holds cannot be read.
    bool AlreadyProvisioned(KeyDestination dest);
    // The serial-number guard: true (with the row's status set) when a key of the loaded keys was
    // reserved for a board with this job's serial number (delivered, spent or in doubt since).
    bool SerialAlreadyServed(IKeySource* keys);
    // Shows and logs that the board holds its key already; the job ends as kAlready.
    void RefuseAlreadyProvisioned();
    // True when one of the board's places (the misc key area, or null when it was not read; the
    // vendor-storage and item 8 sectors) or its serial number shows a key of the loaded source or
    // of any stock this station used.
    IKeySource::Served BoardHoldsAKey(const uint8_t* misc, const uint8_t* storage,
                                      const uint8_t* item8, std::string* why);
    // Reads the serial number for the guard, without a status text; empty when it cannot be read.
    void ReadSerialQuietly();
    bool WriteMisc();
    bool WriteVendor(VendorDestination destination);
    void Finish(JobOutcome outcome);
    // A failed job's row: the failing step's text and whether a key went out (with its index
    // and what to do with the board when it did); the log says the same.
    void SayWhatBecameOfTheKey();
    // The row says what is wrong with the RKP folder and what to do.
    void ShowFolderTrouble(RkpFolderTrouble trouble) { Status(RkpFolderTroubleKey(trouble)); }
    // The job's record for the results file and the console.
    void Report(JobOutcome outcome);

    void Status(const char* key) {
        statusKey_ = key;
        statusCode_ = 0;
        statusText_.clear();
        host_.SetRowStatus(row_, host_.GetLangText(key));
    }
    const char* Loc() const { return slot_.portLocation.c_str(); }
    const CIniSettingBase& Settings() { return host_.Settings(); }
    // The key's road through the job; each step that can fail after the key was taken goes
    // through one of these. The job's key moves only through NextKeyState.
    bool TakeKey();
    void ReturnKey();
    bool ReserveKey();
    bool DeliverKey();
    void SpendKey();
    // The key's state after `event`; nothing (with the reason in the log) when the move is not
    // allowed from the state the key is in: the job fails and the key stays as it is.
    std::optional<KeyState> NextState(KeyEvent event);
    // Sets the failing step's status text and remembers it for the key's end record.
    void FailStep(const char* key, int code);
    void WipeBuffers();

    IWorkerHost& host_;
    const int slotNumber_;
    const int row_;
    CLoggerBase* const log_;
    WorkerSlot slot_;

    std::unique_ptr<ZRScan> scanner_;
    std::unique_ptr<CZRComm> comm_;

    IKeySource* keys_ = nullptr;
    int32_t keyIndex_ = -1;
    KeyCopy key_;
    // The job's key: free until taken. Taken when the job ends: held; reserved: spent by Run.
    KeyState keyState_ = KeyState::kFree;
    KeyJobInfo keyJob_;           // what the journal records say about this job
    const char* statusKey_ = "";  // the last status shown, and its result code
    int statusCode_ = 0;
    std::string statusText_;   // the last status when it is not the text of statusKey_ alone
    std::string failureText_;  // a failed job's last row text
    bool slotKnown_ = false;   // the slot was found: the job has a row
    std::string cause_;        // what lay behind the failing step (a system error's text)
    int causeCode_ = 0;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::string failStep_ = "IDS_UPGRADE_FAILED";
    int failCode_ = 0;
    // How a job that does not succeed ends: failed, or (no key taken) kAlready when the board
    // holds its key already, kStopped when the station stopped before the board was touched.
    JobOutcome ending_ = JobOutcome::kFailed;
    // The key source that said this board's serial number had no key yet (asked once a job).
    const IKeySource* serialCheckedBy_ = nullptr;

    int32_t miscOffset_ = -1;
    std::string successText_;
    std::vector<uint8_t> miscBuffer_;
    std::array<uint8_t, vendor::kSectorBytes> vendorSector_{};
    bool vendorSectorRead_ = false;  // vendorSector_ holds the destination's sector as read
};

// The vendor place of a destination other than the misc key area.
VendorDestination VendorPlaceOf(KeyDestination dest) {
    return dest == KeyDestination::kItem8 ? VendorDestination::kItem8
                                          : VendorDestination::kStorageSector;
}

void UpgradeJob::Run() {
    JobOutcome outcome = JobOutcome::kFailed;
    try {
        outcome = Steps() ? JobOutcome::kSuccess : ending_;
    } catch (const std::exception&) {
        // Only an allocation can fail here; the key (if any) stays held.
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->new memory failed", Loc());
        outcome = JobOutcome::kFailed;
    }
    if (outcome != JobOutcome::kSuccess) {
        SpendKey();  // a reserved key may be on the board: it is never handed out again
    }
    Finish(outcome);
}

bool UpgradeJob::Steps() {
    if (!Prepare()) {
        return false;
    }
    if (Settings().GetRkp != 0 && !ExportRkp()) {
        return false;
    }
    if (Settings().WriteKeybox == 0) {
        return true;
    }
    return WriteKey();
}

bool UpgradeJob::Prepare() {
    if (slotNumber_ < 1 || !host_.CopySlot(slotNumber_, &slot_)) {
        ProvLog(log_, "Error:UpgradeThreadProc-->slot %d not found", slotNumber_);
        return false;
    }
    slotKnown_ = true;
    host_.DropRowColour(row_);
    host_.SetRowStatus(row_, std::string());
    if (Settings().GetRkp != 0) {
        // While the RKP folder cannot take a file, a job would only fail the same way: the board
        // is not touched and counts neither as success nor as failure.
        if (const int error = host_.RkpFolderBlocked(); error != 0) {
            cause_ = ks::SystemErrorText(error);
            causeCode_ = error;
            const RkpFolderTrouble trouble = RkpFolderTroubleOf(error);
            ShowFolderTrouble(trouble != RkpFolderTrouble::kNone ? trouble
                                                                 : RkpFolderTrouble::kReadOnly);
            statusCode_ = error;
            ending_ = JobOutcome::kStopped;
            ProvLog(log_,
                    "<%s> Error:UpgradeThreadProc-->RKP folder still cannot be written: %s (%d); "
                    "board not touched",
                    Loc(), cause_.c_str(), error);
            return false;
        }
    }

    scanner_ = host_.NewScanner();
    if (!scanner_) {
        Status("IDS_CREATE_ZRSCAN_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->new ZRScan object failed", Loc());
        return false;
    }
    comm_ = host_.NewComm();
    if (!comm_) {
        Status("IDS_CREATE_ZRCOMM_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->new ZRComm object failed", Loc());
        return false;
    }
    const int ret = comm_->ZRU_TestDeviceReady(slot_.devicePath, nullptr, nullptr, 0);
    if (ret != 0) {
        FailStep("IDS_TEST_DEVICE_ERROR", ret);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZRU_TestDeviceReady failed,err=%d", Loc(),
                ret);
        return false;
    }
    return true;
}

bool UpgradeJob::ReadSerial(std::string* snText) {
    Status("IDS_READING_SN");
    std::array<uint8_t, vendor::kSnCapacity> snBuffer{};
    uint16_t snLength = vendor::kSnCapacity;
    if (!ZR_ReadVendorRpmbData(comm_.get(), log_, slot_.devicePath, vendor::kSnItemId, 0,
                               snBuffer.data(), &snLength)) {
        Status("IDS_READ_SN_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData failed,err=%d", Loc(),
                0);
        return false;
    }
    *snText = SnBytesToText(snBuffer.data(), snLength);
    keyJob_.serial = devtext::Printable(*snText);
    return true;
}

bool UpgradeJob::ExportRkp() {
    std::string snText;
    if (!ReadSerial(&snText)) {
        return false;
    }
    ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData success[%s]", Loc(),
            devtext::Printable(snText).c_str());

    Status("IDS_READING_RKP");
    std::vector<uint8_t> rkp(vendor::kRkpCapacity, 0);
    uint16_t rkpLength = vendor::kRkpCapacity;
    if (!ZR_ReadVendorRpmbData(comm_.get(), log_, slot_.devicePath, vendor::kRkpItemId, 0,
                               rkp.data(), &rkpLength)) {
        Status("IDS_READING_RKP_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData failed,err=%d", Loc(),
                0);
        return false;
    }
    ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData success", Loc());

    // The serial number names the file: it must be of sane length and stay inside the folder.
    if (!IsSnTextValid(snText)) {
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->sn format error", Loc());
        return false;
    }

    // A board whose serial number has its key already keeps the RKP file it got then.
    if (Settings().WriteKeybox != 0 && SerialAlreadyServed(host_.KeySource())) {
        return false;
    }

    const std::string folder = RkpFolder(Settings().SavePath, Settings().exeFolder);
    std::string path;
    RkpSaveResult saved;
    if (FormatRkpPath(folder, snText, Settings().Jsonformat, RkpLocalNow(), &path)) {
        saved = SaveRkpFile(path, rkp.data(), rkpLength);
    }
    if (!saved.ok) {
        Status("IDS_SAVE_RKP_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->save rkp fail[%s](%d/%d)", Loc(),
                devtext::Printable(path).c_str(), static_cast<int>(saved.written),
                static_cast<int>(rkpLength));
        if (saved.error != 0) {
            // The cause, not the symptom: a full or unwritable folder is no fault of the board.
            cause_ = ks::SystemErrorText(saved.error);
            causeCode_ = saved.error;
            ProvLog(log_, "<%s> Error:UpgradeThreadProc-->RKP folder %s: %s (%d)", Loc(),
                    devtext::Printable(folder).c_str(), cause_.c_str(), saved.error);
            const RkpFolderTrouble trouble = RkpFolderTroubleOf(saved.error);
            if (trouble != RkpFolderTrouble::kNone) {
                ShowFolderTrouble(trouble);
                host_.RkpFolderFailed(saved.error);
            }
            statusCode_ = saved.error;
        }
        return false;
    }
    return true;
}

bool UpgradeJob::WriteKey() {
    keys_ = host_.KeySource();
    keyJob_.slot = slotNumber_;
    keyJob_.portLocation = slot_.portLocation;
    const KeyDestination dest = Settings().Destination();
    const bool misc = dest == KeyDestination::kMisc;
    if (keys_ != nullptr && misc && !LocateMisc()) {
        return false;
    }
    if (keys_ != nullptr && AlreadyProvisioned(dest)) {
        return false;
    }
    // The vendor sector's record is written into the sector as the board holds it.
    if (keys_ != nullptr && dest == KeyDestination::kVendorStorage && !vendorSectorRead_ &&
        !ReadVendorArea(VendorDestination::kStorageSector)) {
        return false;
    }
    // Known before the key is taken: a key pool records it with the reservation it makes then.
    keyJob_.destination = DestinationName(dest);
    Status("IDS_GET_KEY");
    if (keys_ == nullptr || !TakeKey()) {
        // Why no key came, in the operator's words: the key source stopped the station, cannot
        // be reached, or has no unused key left.
        KeySourceCounts counts;
        if (keys_ != nullptr && keys_->IsBroken()) {
            ending_ = JobOutcome::kStopped;
            Status("IDS_STOPPED_KEYFILE");
            host_.KeyFileFailed();  // the source may have broken in this very take
        } else if (keys_ != nullptr && !keys_->GetCounts(&counts)) {
            Status("IDS_KEYSOURCE_UNREACHABLE");
        } else {
            Status("IDS_GET_KEY_ERROR");
        }
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->Get key failed", Loc());
        return false;
    }

    const bool written = misc ? WriteMisc() : WriteVendor(VendorPlaceOf(dest));
    return written && DeliverKey();
}

bool UpgradeJob::LocateMisc() {
    miscOffset_ = GetKeyMiscOffset(slot_.devicePath, comm_.get(), log_);
    if (miscOffset_ < 0) {
        Status("IDS_GET_MISC_OFFSET_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->Get key writing position failed", Loc());
        return false;
    }
    try {
        miscBuffer_.assign(misc_key::kAreaBytes, 0);
    } catch (const std::bad_alloc&) {
        Status("IDS_NEW_BUFFER_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->new memory failed", Loc());
        return false;
    }
    return true;
}

bool UpgradeJob::ReadVendorArea(VendorDestination destination) {
    const bool item8 = destination == VendorDestination::kItem8;
    Status("IDS_READ_VENDOR");
    const int ret =
        comm_->ZRU_ReadLBA(slot_.devicePath, item8 ? vendor::kItem8Sector : vendor::kStorageSector,
                           1, vendorSector_.data(), 0);
    if (ret != 0) {
        FailStep("IDS_READ_VENDOR_ERROR", ret);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc->ZRU_ReadLBA failed,err=%d!", Loc(), ret);
        return false;
    }
    if (!item8 && !HasVendTag(vendorSector_.data())) {
        Status("IDS_INVALID_VENDOR_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc->vendor data invalid!", Loc());
        return false;
    }
    vendorSectorRead_ = true;
    return true;
}

bool UpgradeJob::AlreadyProvisioned(KeyDestination dest) {
    if (Settings().AllowReprovision != 0) {
        return false;
    }
    if (keyJob_.serial.empty()) {
        // The serial number is read whatever the destination: a board keyed into vendor storage
        // is known by it alone. A vendor record cannot be read back once the loader has taken
        // it, so for those destinations a board that cannot tell it gets no key; for misc its key
        // area tells as much.
        std::string snText;
        if (dest == KeyDestination::kMisc) {
            ReadSerialQuietly();
        } else {
            if (!ReadSerial(&snText)) {
                return true;  // nothing taken; the job fails as a read failure
            }
            if (keyJob_.serial.empty()) {
                FailStep("IDS_READ_SN_ERROR", 0);
                ProvLog(log_, "<%s> Error:UpgradeThreadProc-->sn format error", Loc());
                return true;
            }
        }
    }
    // Every place a key of this station can be on the board, whatever today's destination: the
    // misc key area, the vendor-storage sector and the item 8 sector (a record the loader has not
    // taken yet). A place that cannot be read fails the job before a key is taken.
    if (dest != KeyDestination::kMisc && miscOffset_ < 0) {
        miscOffset_ = GetKeyMiscOffset(slot_.devicePath, comm_.get(), log_);
        if (miscOffset_ >= 0) {
            miscBuffer_.assign(misc_key::kAreaBytes, 0);
        }
    }
    // Of the misc key area, the sectors a key of any size this station used can span (a key
    // image starts with its key).
    size_t keyBytes = static_cast<size_t>(std::max(keys_->GetKeySize(), 0));
    if (const CStationKeyIndex* index = host_.KeyIndex(); index != nullptr) {
        for (const size_t size : index->KeySizes()) {
            keyBytes = std::max(keyBytes, size);
        }
    }
    const auto miscSectors = static_cast<uint32_t>(std::clamp<size_t>(
        (keyBytes + vendor::kSectorBytes - 1) / vendor::kSectorBytes, 1, misc_key::kAreaSectors));
    bool miscRead = false;
    if (miscOffset_ >= 0) {
        std::fill(miscBuffer_.begin(), miscBuffer_.end(), uint8_t{0});
        const int ret = comm_->ZRU_ReadLBA(slot_.devicePath, static_cast<uint32_t>(miscOffset_),
                                           miscSectors, miscBuffer_.data(), 0);
        if (ret != 0) {
            if (SerialAlreadyServed(keys_)) {
                return true;
            }
            FailStep("IDS_READ_MISC_ERROR", ret);
            ProvLog(log_, "<%s> Error:UpgradeThreadProc->ZRU_ReadLBA failed,err=%d!", Loc(), ret);
            return true;
        }
        miscRead = true;
    }
    std::array<uint8_t, vendor::kSectorBytes> storage{};
    std::array<uint8_t, vendor::kSectorBytes> item8{};
    for (const VendorDestination place :
         {VendorDestination::kStorageSector, VendorDestination::kItem8}) {
        const bool own = dest != KeyDestination::kMisc && VendorPlaceOf(dest) == place;
        uint8_t* sector = place == VendorDestination::kItem8 ? item8.data() : storage.data();
        if (own) {
            // The sector the record goes into is read as the destination reads it (the vendor
            // sector must carry its tag) and kept for the record.
            if (!ReadVendorArea(place)) {
                SerialAlreadyServed(keys_);  // a served board says so even when it cannot be read
                return true;
            }
            std::memcpy(sector, vendorSector_.data(), vendor::kSectorBytes);
            continue;
        }
        const int ret = comm_->ZRU_ReadLBA(
            slot_.devicePath,
            place == VendorDestination::kItem8 ? vendor::kItem8Sector : vendor::kStorageSector, 1,
            sector, 0);
        if (ret != 0) {
            if (SerialAlreadyServed(keys_)) {
                return true;
            }
            FailStep("IDS_READ_VENDOR_ERROR", ret);
            ProvLog(log_, "<%s> Error:UpgradeThreadProc->ZRU_ReadLBA failed,err=%d!", Loc(), ret);
            return true;
        }
    }
    std::string why;
    const IKeySource::Served served =
        BoardHoldsAKey(miscRead ? miscBuffer_.data() : nullptr, storage.data(), item8.data(), &why);
    if (miscRead) {
        WipeMemory(miscBuffer_.data(), miscBuffer_.size());
    }
    WipeMemory(storage.data(), storage.size());
    WipeMemory(item8.data(), item8.size());
    if (served == IKeySource::Served::kServed) {
        RefuseAlreadyProvisioned();
    } else if (served == IKeySource::Served::kCannotTell) {
        // A guard that cannot answer refuses: the board may hold a key already.
        FailStep("IDS_POOL_LOST", 0);
        ProvLog(log_,
                "<%s> Error:UpgradeThreadProc-->the re-provisioning check could not be made (%s); "
                "no key taken",
                Loc(), why.empty() ? "no reason given" : why.c_str());
    }
    return served != IKeySource::Served::kNotServed;
}

IKeySource::Served UpgradeJob::BoardHoldsAKey(const uint8_t* misc, const uint8_t* storage,
                                              const uint8_t* item8, std::string* why) {
    using Served = IKeySource::Served;
    // The loaded key source: any reservation for this serial number (delivered, spent, or open
    // after a crash) may have put a key on this board, and so may any used key of the source in
    // one of its places; the serial and the misc area are asked at once (a pool answers them in
    // one call), a vendor place only when it holds a record.
    const std::string serial = serialCheckedBy_ == keys_ ? std::string() : keyJob_.serial;
    const auto keySize = static_cast<size_t>(std::max(keys_->GetKeySize(), 0));
    const uint8_t* area =
        misc != nullptr && keySize > 0 && keySize <= misc_key::kAreaBytes ? misc : nullptr;
    if (!serial.empty() || area != nullptr) {
        const Served served = keys_->WasServed(serial, area, area != nullptr ? keySize : 0, why);
        if (served != Served::kNotServed) {
            return served;
        }
    }
    for (const auto& [place, sector] : {std::pair{VendorDestination::kStorageSector, storage},
                                        {VendorDestination::kItem8, item8}}) {
        const uint8_t* key = keySize > 0 ? VendorRecordKey(place, sector, keySize) : nullptr;
        if (key != nullptr) {
            const Served served = keys_->WasServed(std::string(), key, keySize, why);
            if (served != Served::kNotServed) {
                return served;
            }
        }
    }
    // Every key this station ever reserved, of any key file or pool: a board keyed from another
    // stock is known too.
    const CStationKeyIndex* index = host_.KeyIndex();
    if (index == nullptr) {
        return Served::kNotServed;
    }
    if (index->ServedSerial(keyJob_.serial)) {
        return Served::kServed;
    }
    for (const size_t size : index->KeySizes()) {
        if (misc != nullptr && size <= misc_key::kAreaBytes && index->HoldsKey(misc, size)) {
            return Served::kServed;
        }
        for (const auto& [place, sector] : {std::pair{VendorDestination::kStorageSector, storage},
                                            {VendorDestination::kItem8, item8}}) {
            const uint8_t* key = VendorRecordKey(place, sector, size);
            if (key != nullptr && index->HoldsKey(key, size)) {
                return Served::kServed;
            }
        }
    }
    return Served::kNotServed;
}

void UpgradeJob::ReadSerialQuietly() {
    std::array<uint8_t, vendor::kSnCapacity> snBuffer{};
    uint16_t snLength = vendor::kSnCapacity;
    // One command: the job has just found the board ready.
    if (ReadVendorItemOnce(comm_.get(), nullptr, slot_.devicePath, vendor::kSnItemId, 0,
                           snBuffer.data(), &snLength)) {
        keyJob_.serial = devtext::Printable(SnBytesToText(snBuffer.data(), snLength));
    }
}

bool UpgradeJob::SerialAlreadyServed(IKeySource* keys) {
    if (keys == nullptr || Settings().AllowReprovision != 0 || keyJob_.serial.empty() ||
        serialCheckedBy_ == keys) {
        return false;
    }
    serialCheckedBy_ = keys;
    if (!keys->WasReservedFor(keyJob_.serial)) {
        return false;
    }
    RefuseAlreadyProvisioned();
    return true;
}

void UpgradeJob::RefuseAlreadyProvisioned() {
    ending_ = JobOutcome::kAlready;
    Status("IDS_ALREADY_PROVISIONED");
    ProvLog(log_,
            "<%s> Error:UpgradeThreadProc-->board already provisioned (serial %s); no key "
            "taken",
            Loc(), keyJob_.serial.empty() ? "not read" : keyJob_.serial.c_str());
}

bool UpgradeJob::WriteMisc() {
    const int32_t offset = miscOffset_;
    if (key_.size() > misc_key::kAreaBytes) {
        Status("IDS_KEY_SIZE_LARGER");
        return false;
    }
    BuildMiscKeyImage(miscBuffer_.data(), miscBuffer_.size(), key_.data(), key_.size());

    if (!ReserveKey()) {
        return false;
    }
    Status("IDS_WRITE_MISC");
    const auto address = static_cast<uint32_t>(offset);
    int ret = comm_->ZRU_WriteLBA(slot_.devicePath, address, misc_key::kAreaSectors,
                                  miscBuffer_.data(), 0);
    if (ret != 0) {
        // The data may have reached the board even though the command failed: spent.
        FailStep("IDS_WRITE_KEY_MISC_ERROR", ret);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZRU_WriteLBA failed,err=%d", Loc(), ret);
        return false;
    }

    WipeMemory(miscBuffer_.data(), miscBuffer_.size());
    Status("IDS_READ_MISC");
    ret = comm_->ZRU_ReadLBA(slot_.devicePath, address, misc_key::kAreaSectors, miscBuffer_.data(),
                             0);
    if (ret != 0) {
        FailStep("IDS_READ_MISC_ERROR", ret);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc->ZRU_ReadLBA failed,err=%d!", Loc(), ret);
        return false;
    }
    if (!MiscKeyMatches(miscBuffer_.data(), miscBuffer_.size(), key_.data(), key_.size())) {
        FailStep("IDS_CHECK_KEY_ERROR", 0);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc->compare key failed!", Loc());
        return false;
    }
    return true;
}

bool UpgradeJob::WriteVendor(VendorDestination destination) {
    // A key the record cannot hold is refused before the device is touched.
    if (key_.size() > VendorKeyRoom(destination)) {
        ReturnKey();
        Status("IDS_KEY_SIZE_LARGER");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->key size %zu larger than the record room %zu",
                Loc(), key_.size(), VendorKeyRoom(destination));
        return false;
    }
    const uint8_t* recordInfo = keys_->GetRecordInfo();
    static constexpr uint8_t kNoRecordInfo[vendor::kRecordInfoBytes] = {};
    if (recordInfo == nullptr) {
        recordInfo = kNoRecordInfo;
    }
    const std::string& path = slot_.devicePath;
    const bool item8 = destination == VendorDestination::kItem8;
    const uint32_t address = item8 ? vendor::kItem8Sector : vendor::kStorageSector;
    int ret;
    if (!item8) {
        // The sector as read before the key was taken (ReadVendorArea).
        BuildVendorStorageRecord(vendorSector_.data(), recordInfo, key_.data(), key_.size());
    } else {
        BuildVendorItem8(vendorSector_.data(), recordInfo, key_.data(), key_.size());
    }

    if (!ReserveKey()) {
        return false;
    }
    Status("IDS_WRITE_VENDOR");
    ret = comm_->ZRU_WriteLBA(path, address, 1, vendorSector_.data(), 0);
    if (ret != 0) {
        // The record may have reached the board even though the command failed: spent.
        FailStep("IDS_WRITE_KEY_ERROR", ret);
        if (item8) {
            ProvLog(log_, "ERROR:ZR_WriteProvisioningData->ZRU_WriteLBA failed,err=%d!", ret);
        } else {
            ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZRU_WriteLBA failed,err=%d", Loc(), ret);
        }
        return false;
    }
    WipeMemory(vendorSector_.data(), vendorSector_.size());

    // From here on the record is on the device: a failure below may still leave the key installed
    // in this board, so the key is spent, never handed to another board.
    Status("IDS_RESET_DEVICE");
    ret = comm_->ZRU_ResetDevice(path, 1);
    if (ret != 0 && ret != ZR_ERR_OPEN_IN && ret != ZR_ERR_READ) {
        FailStep("IDS_RESET_ERROR", ret);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->ZRU_ResetDevice failed,err=%d", Loc(), ret);
        return false;
    }

    Status("IDS_WAIT_DEVICE");
    ZRDeviceDesc record;
    record.location = slot_.portLocation;
    if (scanner_->WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0) == 0) {
        FailStep("IDS_WAIT_DEVICE_ERROR", 0);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->Wait loader failed,err=%d", Loc(), 0);
        return false;
    }

    Status("IDS_CLEAN_VENDOR");
    ret = comm_->ZRU_ReadLBA(path, address, 1, vendorSector_.data(), 0);
    if (ret != 0) {
        FailStep("IDS_READ_VENDOR_ERROR", ret);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc->ZRU_ReadLBA2 failed,err=%d!", Loc(), ret);
        return false;
    }
    switch (CheckVendorCleared(destination, vendorSector_.data())) {
        case VendorClearState::kRecordPresent:
            FailStep("IDS_KEY_EXIST_ERROR", 0);
            ProvLog(log_, "<%s> Error:UpgradeThreadProc->key exist!", Loc());
            return false;
        case VendorClearState::kNotClean:
            FailStep("IDS_CLEAN_VENDOR_ERROR", 0);
            ProvLog(log_, "<%s> Error:UpgradeThreadProc->Cleaning vendor failed!", Loc());
            return false;
        case VendorClearState::kClean:
            break;
    }
    return true;
}

std::optional<KeyState> UpgradeJob::NextState(KeyEvent event) {
    const std::optional<KeyState> next = NextKeyState(keyState_, event);
    if (!next) {
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->key %d is %s: it cannot %s", Loc(),
                static_cast<int>(keyIndex_), KeyStateName(keyState_), KeyEventName(event));
    }
    return next;
}

bool UpgradeJob::TakeKey() {
    const std::optional<KeyState> taken = NextState(KeyEvent::kTake);
    if (!taken || !keys_->TakeKey(keyJob_, &keyIndex_, &key_)) {
        return false;
    }
    keyState_ = *taken;
    return true;
}

bool UpgradeJob::ReserveKey() {
    // Before the first byte of the key goes to the board, the key source records the reservation
    // on stable storage (the key file: marked used and journalled; a pool: committed).
    const std::optional<KeyState> reserved = NextState(KeyEvent::kReserve);
    if (!reserved) {
        return false;
    }
    if (!keys_->ReserveKey(keyIndex_, keyJob_)) {
        Status("IDS_UPDATE_KEYFILE_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->UpdateKeyFile failed", Loc());
        host_.KeyFileFailed();
        return false;  // the key stays held: never sent, never handed out again in this run
    }
    keyState_ = *reserved;
    host_.DecreaseUnused();  // the file holds one unused key less from now on
    // Then the station's own index of what it handed out (a digest of the key and the board's
    // serial number), before the key is sent: a key it could not record is spent unsent.
    CStationKeyIndex* index = host_.KeyIndex();
    if (index != nullptr && !index->Record(key_.data(), key_.size(), keyJob_.serial)) {
        FailStep("IDS_UPDATE_KEYFILE_ERROR", 0);
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->station key index could not be written",
                Loc());
        return false;
    }
    return true;
}

bool UpgradeJob::DeliverKey() {
    const std::optional<KeyState> delivered = NextState(KeyEvent::kDeliver);
    if (!delivered) {
        return false;
    }
    if (!keys_->DeliverKey(keyIndex_, keyJob_)) {
        // The source has ended the key itself (IKeySource::DeliverKey): the job spends it no
        // further.
        keyState_ = NextKeyState(keyState_, KeyEvent::kSpend).value_or(keyState_);
        Status("IDS_UPDATE_KEYFILE_ERROR");
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->UpdateKeyFile failed", Loc());
        host_.KeyFileFailed();
        return false;  // the key stays used on disk; without its end record it is in doubt
    }
    keyState_ = *delivered;
    return true;
}

void UpgradeJob::SpendKey() {
    // Only a reserved key is spent; a taken one stays held, an ended one is done.
    if (keyState_ != KeyState::kReserved) {
        return;
    }
    keyState_ = NextKeyState(keyState_, KeyEvent::kSpend).value_or(keyState_);
    if (!keys_->SpendKey(keyIndex_, keyJob_, failStep_, failCode_)) {
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->UpdateKeyFile failed", Loc());
        host_.KeyFileFailed();
    }
}

void UpgradeJob::FailStep(const char* key, int code) {
    Status(key);
    statusCode_ = code;
    failStep_ = key;
    failCode_ = code;
}

void UpgradeJob::ReturnKey() {
    const std::optional<KeyState> returned = NextState(KeyEvent::kReturn);
    if (!returned) {
        return;
    }
    if (!keys_->ReturnUnsentKey(keyIndex_, keyJob_)) {
        ProvLog(log_, "<%s> Error:UpgradeThreadProc-->key %d could not be returned; it stays held",
                Loc(), static_cast<int>(keyIndex_));
        return;
    }
    keyState_ = *returned;
}

void UpgradeJob::WipeBuffers() {
    if (!miscBuffer_.empty()) {
        WipeMemory(miscBuffer_.data(), miscBuffer_.size());
    }
    WipeMemory(vendorSector_.data(), vendorSector_.size());
    key_.Reset();
}

void UpgradeJob::Report(JobOutcome outcome) {
    const bool success = outcome == JobOutcome::kSuccess;
    try {
        JobRecord record;
        record.slot = slotNumber_;
        record.port = slot_.portLocation;
        record.serial = keyJob_.serial;
        const bool sent = KeyMayBeOnBoard(keyState_);
        if (sent) {
            record.keyIndex = keyIndex_;
            record.destination = keyJob_.destination;
        }
        record.keySent = sent;
        record.outcome = outcome;
        if (success) {
            record.result = successText_;
        } else {
            record.step = *statusKey_ != '\0' ? statusKey_ : "IDS_UPGRADE_FAILED";
            record.code = statusCode_;
            record.result = !failureText_.empty()  ? failureText_
                            : !statusText_.empty() ? statusText_
                                                   : host_.GetLangText(record.step);
            record.cause = cause_;
            record.causeCode = causeCode_;
        }
        record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started_)
                                .count();
        record.time = JournalTimeNow();
        host_.RecordJob(record);
    } catch (const std::exception&) {
        // The record is lost; the job's result still goes out.
    }
}

void UpgradeJob::SayWhatBecameOfTheKey() {
    try {
        std::string note;
        if (KeyMayBeOnBoard(keyState_)) {
            // The key was reserved before its first byte went out: the board may hold it.
            note = host_.GetLangText("IDS_KEY_MAY_BE_ON_BOARD");
            const std::string index = std::to_string(keyIndex_);
            const size_t at = note.find("%d");  // a language file's text is no format
            if (at != std::string::npos) {
                note.replace(at, 2, index);
            } else {
                note += " " + index;
            }
            ProvLog(log_,
                    "<%s> Error:UpgradeThreadProc-->failed after key %d was sent: the board may "
                    "hold it, set the board aside",
                    Loc(), static_cast<int>(keyIndex_));
        } else {
            note = host_.GetLangText("IDS_NO_KEY_SENT");
        }
        const char* step = *statusKey_ != '\0' ? statusKey_ : "IDS_UPGRADE_FAILED";
        const std::string shown = statusText_.empty() ? host_.GetLangText(step) : statusText_;
        failureText_ = shown + kKeyNoteSeparator + note;
        host_.SetRowStatus(row_, failureText_);
    } catch (const std::exception&) {
        // The row keeps the step's text; the result still goes out.
    }
}

void UpgradeJob::Finish(JobOutcome outcome) {
    const bool success = outcome == JobOutcome::kSuccess;
    if (success && Settings().ResetAfterWrite != 0) {
        ProvLog(log_, "<%s> UpgradeThreadProc->ZRU_ResetDevice...", Loc());
        comm_->ZRU_ResetDevice(slot_.devicePath, 0);
    }
    WipeBuffers();
    scanner_.reset();
    comm_.reset();
    if (success) {
        host_.IncreaseSuccess();
        try {
            std::string text = host_.GetLangText("IDS_PROCCESS_OK") + "[";
            if (Settings().WriteKeybox != 0) {
                text += host_.GetLangText("IDS_INFO_KEYBOX");
            }
            if (Settings().GetRkp != 0) {
                text += " ";
                text += host_.GetLangText("IDS_INFO_RKP");
            }
            text += "]";
            host_.SetRowStatus(row_, text);
            successText_ = std::move(text);
        } catch (const std::exception&) {
            // The row keeps its last text; the result still goes out below.
        }
    } else if (outcome == JobOutcome::kFailed) {
        if (slotKnown_) {
            SayWhatBecameOfTheKey();
        }
        host_.IncreaseFail();
    }
    // (kAlready and kStopped move no counter.)
    Report(outcome);
    host_.PostUpgradeResult(slotNumber_, outcome);
}

}  // namespace

void UpgradeThreadProc(IWorkerHost& host, int slotNumber) {
    try {
        UpgradeJob job(host, slotNumber);
        job.Run();
    } catch (...) {
        // Nothing may leave the thread; the result has been posted unless the job could not
        // even be set up.
    }
}
