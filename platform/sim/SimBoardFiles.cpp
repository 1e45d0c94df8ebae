#include "platform/sim/SimBoardFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sim/DemoImage.h"
#include "platform/sim/TakenKeyboxLog.h"
#include "support/FileSystem.h"
#include "support/SystemRandom.h"

namespace {

constexpr size_t kSector = SectorStore::kSectorSize;
constexpr uint32_t kVendorFirst = LoaderEmulator::kVendorSpaceFirst;
constexpr uint64_t kImageBytes = uint64_t{kDemoDiskSectors} * kSector;
constexpr uint64_t kMaxImageBytes = uint64_t{kVendorFirst} * kSector;
constexpr uint64_t kVendorBytes = ((uint64_t{1} << 32) - kVendorFirst) * kSector;
constexpr size_t kKeyAreaBytes = 128 * kSector;

// A board kept in files has an identity of its own, made with its image: "KSID" and 8 random
// bytes in a sector of the gap between the partition table and the first partition. Its serial
// number is derived from it, so that boards in different folders are different boards, as on a
// line. (An image made before it had one keeps the demo serial number of its index.)
constexpr uint32_t kIdentitySector = 0x1000;
constexpr char kIdentityTag[4] = {'K', 'S', 'I', 'D'};

std::string SerialOfIdentity(const uint8_t* sector) {
    if (std::memcmp(sector, kIdentityTag, sizeof kIdentityTag) != 0) {
        return std::string();
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string serial = "KS";
    for (size_t i = 4; i < 12; ++i) {
        serial += kHex[sector[i] >> 4];
        serial += kHex[sector[i] & 0x0F];
    }
    return serial;
}

// The board's own serial number, set as its serial-number item; false when it has no identity.
bool ApplyBoardIdentity(LoaderEmulator& emulator) {
    uint8_t sector[SectorStore::kSectorSize] = {};
    if (!emulator.ReadSectors(kIdentitySector, 1, sector)) {
        return false;
    }
    const std::string serial = SerialOfIdentity(sector);
    if (serial.empty()) {
        return false;
    }
    emulator.SetItem(kDemoItemSerial, 0, std::vector<uint8_t>(serial.begin(), serial.end()));
    return true;
}

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

std::string SystemText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Opens an existing regular file (never through a link) of at most maxBytes; -1 otherwise.
int OpenRegular(const std::string& path, int flags, uint64_t maxBytes, std::string* error) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        Fail(error, SystemText("cannot open", path));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        Fail(error, "not a board file (not a regular file, or too large): " + path);
        return -1;
    }
    return fd;
}

int CreateFile(const std::string& path, uint64_t bytes, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        Fail(error, SystemText("cannot create", path));
        return -1;
    }
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        Fail(error, SystemText("cannot size", path));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadAt(int fd, uint64_t offset, size_t bytes, std::vector<uint8_t>* out) {
    out->assign(bytes, 0);
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n =
            ::pread(fd, out->data() + done, bytes - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;  // past the end: zeros, as the board reads it
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// "board-NN.img" -> NN; -1 for any other name.
int BoardIndexOfName(const char* name) {
    static constexpr char kPrefix[] = "board-";
    static constexpr char kSuffix[] = ".img";
    if (std::strlen(name) != 12 || std::strncmp(name, kPrefix, 6) != 0 ||
        std::strcmp(name + 8, kSuffix) != 0) {
        return -1;
    }
    if (name[6] < '0' || name[6] > '9' || name[7] < '0' || name[7] > '9') {
        return -1;
    }
    return (name[6] - '0') * 10 + (name[7] - '0');
}

bool ReadBoard(const std::string& dir, int index, SimBoardContent* board, std::string* error) {
    const SimBoardPaths paths = SimBoardFileNames(dir, index);
    const DemoFacts facts = DemoLoaderFacts(index);
    board->index = index;
    board->serial = facts.serial;
    const int image = OpenRegular(paths.image, O_RDONLY, kMaxImageBytes, error);
    if (image < 0) {
        return false;
    }
    std::vector<uint8_t> identity;
    if (ReadAt(image, uint64_t{kIdentitySector} * kSector, kSector, &identity) &&
        !SerialOfIdentity(identity.data()).empty()) {
        board->serial = SerialOfIdentity(identity.data());
    }
    const bool imageOk =
        ReadAt(image, uint64_t{facts.keyAreaSector} * kSector, kKeyAreaBytes, &board->miscKeyArea);
    ::close(image);
    if (!imageOk) {
        return Fail(error, SystemText("cannot read", paths.image));
    }
    const int vendor = OpenRegular(paths.vendor, O_RDONLY, kVendorBytes, error);
    if (vendor < 0) {
        return false;
    }
    const bool vendorOk =
        ReadAt(vendor, uint64_t{LoaderEmulator::kVendorSector - kVendorFirst} * kSector, kSector,
               &board->vendorSector) &&
        ReadAt(vendor, uint64_t{LoaderEmulator::kVendorItem8Sector - kVendorFirst} * kSector,
               kSector, &board->item8Sector);
    ::close(vendor);
    if (!vendorOk) {
        return Fail(error, SystemText("cannot read", paths.vendor));
    }
    return TakenKeyboxLog::Read(paths.taken, &board->taken, error);
}

}  // namespace

SimBoardPaths SimBoardFileNames(const std::string& dir, int index) {
    if (index < 0 || index >= kMaxSimBoards) {
        return {};
    }
    char stem[16];
    std::snprintf(stem, sizeof stem, "board-%02d", index);
    std::string base = dir;
    if (!base.empty() && base.back() != '/') {
        base += '/';
    }
    base += stem;
    return {base + ".img", base + ".vendor.img", base + ".taken"};
}

bool OpenSimBoard(LoaderEmulator& emulator, const std::string& dir, int index, std::string* error) {
    const SimBoardPaths paths = SimBoardFileNames(dir, index);
    if (paths.image.empty() || dir.empty()) {
        return Fail(error, "no such simulated board: " + std::to_string(index));
    }
    if (!ks::CreateFolderChain(dir)) {
        return Fail(error, SystemText("cannot create", dir));
    }
    const std::string fresh = paths.image + ".new";
    int image = ::open(paths.image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool create = image < 0 && errno == ENOENT;
    if (image >= 0) {
        ::close(image);
    }
    int vendor = -1;
    if (create) {
        // The taken-keybox log and vendor space of a board that never existed start empty.
        const int taken = CreateFile(paths.taken, 0, error);
        if (taken < 0) {
            return false;
        }
        ::close(taken);
        vendor = CreateFile(paths.vendor, kVendorBytes, error);
        image = vendor < 0 ? -1 : CreateFile(fresh, kImageBytes, error);
    } else {
        image = OpenRegular(paths.image, O_RDWR, kMaxImageBytes, error);
        vendor = image < 0 ? -1 : OpenRegular(paths.vendor, O_RDWR, kVendorBytes, error);
    }
    if (image < 0 || vendor < 0) {
        if (image >= 0) {
            ::close(image);
        }
        if (vendor >= 0) {
            ::close(vendor);
        }
        return false;
    }
    emulator.EditStore([&](SectorStore& store) { store.UseFiles(image, vendor, kVendorFirst); });
    if (create) {
        PopulateDemoLoader(emulator, index);
        uint8_t identity[kSector] = {};
        std::memcpy(identity, kIdentityTag, sizeof kIdentityTag);
        if (!ks::FillSystemRandom(identity + 4, 8, nullptr) ||
            !emulator.WriteSectors(kIdentitySector, 1, identity) || !ApplyBoardIdentity(emulator)) {
            return Fail(error, "cannot give " + fresh + " an identity");
        }
        uint8_t header[kSector];
        uint8_t vendorSector[kSector];
        if (!emulator.ReadSectors(1, 1, header) || std::memcmp(header, "EFI PART", 8) != 0 ||
            !emulator.ReadSectors(LoaderEmulator::kVendorSector, 1, vendorSector) ||
            std::memcmp(vendorSector, "VEND", 4) != 0) {
            return Fail(error, "cannot write the demo content of " + fresh);
        }
        if (::rename(fresh.c_str(), paths.image.c_str()) != 0) {
            return Fail(error, SystemText("cannot rename", fresh));
        }
    } else {
        ApplyDemoIdentity(emulator, index);
        ApplyBoardIdentity(emulator);
    }
    std::vector<TakenKeybox> earlier;
    std::unique_ptr<TakenKeyboxLog> log = TakenKeyboxLog::Open(paths.taken, &earlier, error);
    if (!log) {
        return false;
    }
    emulator.UseTakenKeyboxLog(std::move(log), std::move(earlier));
    return true;
}

bool LoadSimBoardContents(const std::string& dir, std::vector<SimBoardContent>* out,
                          std::string* error) {
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) {
        return Fail(error, SystemText("cannot read the folder", dir));
    }
    bool present[kMaxSimBoards] = {};
    while (const dirent* entry = ::readdir(folder)) {
        const int index = BoardIndexOfName(entry->d_name);
        if (index >= 0) {
            present[index] = true;
        }
    }
    ::closedir(folder);
    std::vector<SimBoardContent> boards;
    for (int index = 0; index < kMaxSimBoards; ++index) {
        if (!present[index]) {
            continue;
        }
        SimBoardContent board;
        if (!ReadBoard(dir, index, &board, error)) {
            return false;
        }
        boards.push_back(std::move(board));
    }
    *out = std::move(boards);
    return true;
}

std::shared_ptr<LoaderEmulator> MakeSimBoard(const std::string& stateDir,
                                             const RandomFaultRates& faults, uint64_t seed,
                                             int index, std::string* error) {
    std::shared_ptr<LoaderEmulator> board;
    if (stateDir.empty()) {
        board = MakeDemoLoader(index);
    } else {
        board = std::make_shared<LoaderEmulator>();
        if (!OpenSimBoard(*board, stateDir, index, error)) {
            return nullptr;
        }
    }
    if (faults.Any()) {
        board->SetRandomFaults(faults, BoardFaultSeed(seed, index));
    }
    return board;
}
