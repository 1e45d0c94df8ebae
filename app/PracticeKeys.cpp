#include "app/PracticeKeys.h"

#include <new>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileIo.h"
#include "keydb/KeyFileWriter.h"
#include "support/FileSystem.h"
#include "support/LocalTime.h"
#include "support/NativeFile.h"

namespace {

// True when a journal of the stock lies in the folder and holds at least one byte.
bool HasRecords(const std::string& folder, const std::string& digestHex) {
    std::string head;
    const ks::ReadStatus status =
        ks::ReadWholeFile(StockRecordPath(folder, digestHex, KeyFileCompanion::kJournal), 1, head);
    return status == ks::ReadStatus::TooLarge || (status == ks::ReadStatus::Ok && !head.empty());
}

bool SameFolder(const std::string& a, const std::string& b) {
    ks::FileIdentity first;
    ks::FileIdentity second;
    int error = 0;
    return ks::IdentityOfPath(ks::WithoutTrailingSeparator(a), &first, &error) &&
           ks::IdentityOfPath(ks::WithoutTrailingSeparator(b), &second, &error) && first == second;
}

}  // namespace

std::string PracticeFolder(const std::string& productionAppDir) {
    const char separator =
        !productionAppDir.empty() && productionAppDir.back() == '\\' ? '\\' : '/';
    std::string folder = productionAppDir;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') {
        folder += separator;
    }
    return folder + "practice" + separator;
}

std::string WindowStationFolder(const StationArguments& arguments, const std::string& chosen) {
    return arguments.simulate >= 0 && arguments.home.empty() && !chosen.empty()
               ? PracticeFolder(chosen)
               : chosen;
}

bool MakePracticeKeyFile(const std::string& path, std::string* error) {
    ks::FileIdentity identity;
    int lookup = 0;
    if (ks::IdentityOfPath(path, &identity, &lookup)) {
        return true;  // made before: practice goes on with what is left of it
    }
    KeyFileLayout layout;
    layout.keyCount = kPracticeKeyCount;
    layout.keySize = kPracticeKeySize;
    const ks::LocalTime now = ks::NowLocalTime();
    layout.created = {now.year, now.month, now.day, now.hour, now.minute, now.second};
    CRandomKeySource keys;
    return WriteKeyFile(path, layout, keys, false, error);
}

std::string ProductionUseOf(const std::string& path, const std::string& productionRecords,
                            const std::string& practiceRecords) {
    std::string digest;
    int32_t keys = 0;
    int32_t unused = 0;
    try {
        // Read only and verified: the digest is the key area's own, not what a header claims.
        CKeyFile file(path, nullptr, KeyFileAccess::VerifyOnly);
        if (!file.IsValid()) {
            return std::string();
        }
        digest = file.GetDigestHex();
        keys = file.GetKeyCount();
        unused = file.GetUnusedCount();
    } catch (const std::bad_alloc&) {
        return "the key file could not be checked (out of memory)";
    }
    if (digest.empty()) {
        return "the key file's stock cannot be told";
    }
    if (!productionRecords.empty() && !SameFolder(productionRecords, practiceRecords) &&
        HasRecords(productionRecords, digest)) {
        return "production's records (" + productionRecords + ") hold key stock " + digest;
    }
    if (unused < keys && !HasRecords(practiceRecords, digest)) {
        return std::to_string(keys - unused) + " keys of stock " + digest +
               " are used, and not by this practice station";
    }
    return std::string();
}
