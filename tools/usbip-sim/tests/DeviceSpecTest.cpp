#include "tools/usbip-sim/DeviceSpec.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceSpec, FullSpecIsParsed) {
    DeviceSpec spec;
    std::string error;
    ASSERT_TRUE(ParseDeviceSpec(
        "port=7,type=rom,demo=12,vid=0xF00E,pid=0x2002,stall-cmd=3,hang-cmd=4,hang-count=2,"
        "unplug-opcode=0x15,unplug-nth=2,fail-cmd=5,fail-phase=status,unplug-cmd=9,"
        "latency-ms=20,reset-delay-ms=700,linger-ms=400,no-return,other-port=11,keybox=exis",
        &spec, &error))
        << error;
    EXPECT_EQ(spec.port, 7u);
    EXPECT_EQ(spec.type, DeviceSpec::Type::kRom);
    EXPECT_EQ(spec.demo, 12);
    EXPECT_EQ(spec.vendorId, 0xF00E);
    EXPECT_EQ(spec.productId, 0x2002);
    EXPECT_EQ(spec.serverFaults.stallOnCommand, 3u);
    EXPECT_EQ(spec.serverFaults.hangFromCommand, 4u);
    EXPECT_EQ(spec.serverFaults.hangCount, 2u);
    EXPECT_EQ(spec.serverFaults.unplugOnOpcode, 0x15);
    EXPECT_EQ(spec.serverFaults.unplugOccurrence, 2u);
    EXPECT_EQ(spec.failCommand, 5);
    EXPECT_EQ(spec.failPhase, "status");
    EXPECT_EQ(spec.unplugCommand, 9);
    EXPECT_EQ(spec.latencyMs, 20);
    EXPECT_EQ(spec.resetDelayMs, 700);
    EXPECT_EQ(spec.lingerMs, 400);
    EXPECT_TRUE(spec.noReturn);
    EXPECT_EQ(spec.otherPort, 11);
    EXPECT_EQ(spec.keybox, "exis");
}

TEST(DeviceSpec, DefaultsLeaveTheDeviceWithoutFaults) {
    DeviceSpec spec;
    std::string error;
    ASSERT_TRUE(ParseDeviceSpec("port=0", &spec, &error)) << error;
    EXPECT_EQ(spec.type, DeviceSpec::Type::kLoader);
    EXPECT_EQ(spec.demo, -1);
    EXPECT_EQ(spec.serverFaults.stallOnCommand, 0u);
    EXPECT_EQ(spec.serverFaults.hangFromCommand, 0u);
    EXPECT_EQ(spec.serverFaults.unplugOnOpcode, -1);
    EXPECT_EQ(spec.resetDelayMs, -1);
    EXPECT_EQ(spec.lingerMs, 0);
    EXPECT_FALSE(spec.noReturn);
}

TEST(DeviceSpec, MistakesAreRefusedWithAReason) {
    const char* bad[] = {
        "type=loader",             // no port
        "port=1,port=2",           // port twice
        "port=256",                // out of range
        "port=x1",                 // not a number
        "port=1,type=hub",         // unknown type
        "port=1,colour=red",       // unknown key
        "port=1,vid=0x10000",      // above 16 bits
        "port=1,unplug-nth=0",     // never
        "port=1,fail-phase=late",  // unknown phase
        "port=1,keybox=eat",       // unknown behaviour
        "port=1,no-return=1",      // a flag takes no value
        "port=1,latency-ms=",      // empty value
    };
    for (const char* text : bad) {
        DeviceSpec spec;
        std::string error;
        EXPECT_FALSE(ParseDeviceSpec(text, &spec, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
