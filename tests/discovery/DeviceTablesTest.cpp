// devices.ini: the shipped file, and what a broken one leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/DeviceTables.h"
#include "tests/discovery/DiscoveryTestSupport.h"

using namespace discovery_test;

namespace {

bool Load(DeviceTables& tables, const std::string& text, RecordingLog* log = nullptr) {
    return tables.LoadBuffer(text.data(), text.size(), log);
}

int32_t CodeOf(const DeviceTables& tables, uint16_t vid, uint16_t pid) {
    for (const DeviceTables::ChipRow& row : tables.ChipRows()) {
        if (row.vendorId == vid && row.productId == pid) {
            return row.chipCode;
        }
    }
    return -1;
}

TEST(DeviceTablesTest, ShippedFileHasBothVendorsAndFourteenChipRows) {
    DeviceTables tables;
    RecordingLog log;
    ASSERT_TRUE(tables.LoadFile(std::string(KS_SOURCE_DIR) + "/data/devices.ini", &log));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(tables.VendorId(), 0xF00D);
    EXPECT_EQ(tables.AltVendorId(), 0xF00E);
    ASSERT_EQ(tables.ChipRows().size(), 14U);
    int main = 0;
    int alt = 0;
    for (const DeviceTables::ChipRow& row : tables.ChipRows()) {
        main += row.vendorId == tables.VendorId() ? 1 : 0;
        alt += row.vendorId == tables.AltVendorId() ? 1 : 0;
        EXPECT_GE(row.chipCode, 16);
        EXPECT_LE(row.chipCode, 128);
        EXPECT_NE(row.productId & 0xFF00, 0);
    }
    EXPECT_EQ(main, 11);
    EXPECT_EQ(alt, 3);
}

TEST(DeviceTablesTest, ChipRowKeysWithAColonAreReadAsVendorAndProduct) {
    DeviceTables tables;
    ASSERT_TRUE(Load(tables,
                     "[vendor]\r\nzr_vendor_id = 0xf00d\r\n"
                     "  [ChipTable]  \r\n f00d:1a2B = 77\r\nF00E:3=20\r\n"));
    EXPECT_EQ(tables.VendorId(), 0xF00D);
    EXPECT_EQ(tables.AltVendorId(), 0);
    EXPECT_EQ(CodeOf(tables, 0xF00D, 0x1A2B), 77);
    EXPECT_EQ(CodeOf(tables, 0xF00E, 0x0003), 20);
}

TEST(DeviceTablesTest, BadValuesAreDroppedOneByOneAndLogged) {
    DeviceTables tables;
    RecordingLog log;
    ASSERT_TRUE(Load(tables,
                     "[Vendor]\n"
                     "ZR_VENDOR_ID=F00D\n"        // no 0x
                     "ZR_ALT_VENDOR_ID=0x0000\n"  // zero is no vendor
                     "[ChipTable]\n"
                     "F00D:1001=16\n"
                     "F00D-1002=17\n"   // no colon
                     "F00D:10022=18\n"  // five digits
                     "F00D:1003=0\n"    // not positive
                     "F00D:1004=-5\n"
                     "F00D:1005=1x\n"
                     "G00D:1006=19\n"
                     "F00D:1007=2147483648\n",  // over int32
                     &log));
    EXPECT_EQ(tables.VendorId(), 0);
    EXPECT_EQ(tables.AltVendorId(), 0);
    ASSERT_EQ(tables.ChipRows().size(), 1U);
    EXPECT_EQ(CodeOf(tables, 0xF00D, 0x1001), 16);
    EXPECT_EQ(log.Lines().size(), 10U);  // 9 bad entries + vendor not configured
    EXPECT_TRUE(log.Has("Error:DeviceTables-->bad entry in [ChipTable]: F00D:1005=1x"));
    EXPECT_TRUE(log.Has("Error:DeviceTables-->ZR_VENDOR_ID not configured"));
}

TEST(DeviceTablesTest, LaterDuplicateWinsWhateverTheCaseOfTheKey) {
    DeviceTables tables;
    ASSERT_TRUE(Load(tables,
                     "[ChipTable]\nF00D:ABCD=20\nf00d:abcd=30\n[Vendor]\n"
                     "ZR_VENDOR_ID=0x1111\nZR_VENDOR_ID=0xF00D\n"));
    ASSERT_EQ(tables.ChipRows().size(), 1U);
    EXPECT_EQ(CodeOf(tables, 0xF00D, 0xABCD), 30);
    EXPECT_EQ(tables.VendorId(), 0xF00D);
}

TEST(DeviceTablesTest, MissingFileLeavesEverythingEmptyWithALogLine) {
    DeviceTables tables;
    tables.SetVendorIds(1, 2);
    tables.AddChipRow({1, 0x100, 20});
    RecordingLog log;
    EXPECT_FALSE(tables.LoadFile("/nonexistent/folder/devices.ini", &log));
    EXPECT_EQ(tables.VendorId(), 0);
    EXPECT_TRUE(tables.ChipRows().empty());
    ASSERT_EQ(log.Lines().size(), 1U);
    EXPECT_EQ(log.Lines()[0], "Error:DeviceTables-->/nonexistent/folder/devices.ini: not found");
    EXPECT_EQ(tables.LoadProblem(), "/nonexistent/folder/devices.ini: not found");
}

TEST(DeviceTablesTest, OversizedContentIsRefusedWhole) {
    std::string text = "[Vendor]\nZR_VENDOR_ID=0xF00D\n";
    text.append(DeviceTables::kMaxFileSize, '#');
    DeviceTables tables;
    EXPECT_FALSE(Load(tables, text));
    EXPECT_EQ(tables.VendorId(), 0);
    EXPECT_FALSE(tables.LoadBuffer(nullptr, 10, nullptr));
}

TEST(DeviceTablesTest, RowCountIsBounded) {
    std::string text = "[ChipTable]\n";
    for (size_t i = 0; i < DeviceTables::kMaxChipRows + 10; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "F00D:%04zX=20\n", i + 0x100);
        text += line;
    }
    DeviceTables tables;
    RecordingLog log;
    ASSERT_TRUE(Load(tables, text, &log));
    EXPECT_EQ(tables.ChipRows().size(), DeviceTables::kMaxChipRows);
    EXPECT_TRUE(log.Has("Error:DeviceTables-->more than 1024 chip rows, rest dropped"));
}

}  // namespace
