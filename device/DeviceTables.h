// The station's USB identity configuration: the maker's two vendor ids and the chip table
// (vendor:product -> chip code), read from "devices.ini" in the application folder.
//
//   [Vendor]
//   ZR_VENDOR_ID=0xF00D
//   ZR_ALT_VENDOR_ID=0xF00E
//   [ChipTable]
//   F00D:3288=32        ; key: hex vendor ':' hex product, value: decimal chip code
//
// A missing or unreadable file leaves everything empty (vendor ids 0, no rows); a bad value
// drops that value only. Each problem is written to the log sink, when one is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CLoggerBase;

class DeviceTables {
  public:
    static constexpr const char* kFileName = "devices.ini";
    // Larger files are refused as a whole; more rows than this are dropped.
    static constexpr size_t kMaxFileSize = 64 * 1024;
    static constexpr size_t kMaxChipRows = 1024;

    struct ChipRow {
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        int32_t chipCode = 0;
    };

    // Reads the file through the file seam (UTF-16 on Windows); returns false (tables left
    // empty) when it cannot be read at all, with the reason in LoadProblem().
    bool LoadFile(const std::string& path, CLoggerBase* log);
    // Why the last LoadFile failed, for the operator ("" after a load that read the file).
    const std::string& LoadProblem() const { return loadProblem_; }
    // Parses file content held in memory (8-bit text, LF or CR LF line ends).
    bool LoadBuffer(const char* data, size_t size, CLoggerBase* log);
    void Clear();

    // 0 when not configured.
    uint16_t VendorId() const { return vendorId_; }
    uint16_t AltVendorId() const { return altVendorId_; }
    const std::vector<ChipRow>& ChipRows() const { return chipRows_; }

    // Used by tests and tools that build tables without a file.
    void SetVendorIds(uint16_t vendorId, uint16_t altVendorId);
    // A row for a vendor:product already present replaces its code. False when the table is full.
    bool AddChipRow(const ChipRow& row);

  private:
    uint16_t vendorId_ = 0;
    uint16_t altVendorId_ = 0;
    std::vector<ChipRow> chipRows_;
    std::string loadProblem_;
};
