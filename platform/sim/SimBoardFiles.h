// Demo boards whose storage lives in a folder, so that they keep what was written to them when
// the program that emulates them stops or is killed. Board `index` (the demo device index, 0..99)
// has three files, NN being the index in two digits:
//   board-NN.img         its storage as a sparse raw image: byte N is byte N of the disk (the
//                        sectors below LoaderEmulator::kVendorSpaceFirst);
//   board-NN.vendor.img  vendor space, sector S at byte (S - kVendorSpaceFirst) * 512;
//   board-NN.taken       the keybox records its loader took out of its transfer area.
// The files are made with the demo content on first use (the image last, under a temporary name
// renamed into place, so a board either exists whole or not at all) and reused as they are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/LoaderEmulator.h"

constexpr int kMaxSimBoards = 100;

struct SimBoardPaths {
    std::string image;
    std::string vendor;
    std::string taken;
};
// The file names of board `index` in dir ("" each for an index outside 0..kMaxSimBoards-1).
SimBoardPaths SimBoardFileNames(const std::string& dir, int index);

// Makes `emulator` (fresh, not yet on a bus) demo board `index` kept in dir: creates the folder
// and the board's files when missing, otherwise opens them as they are; the serial-number and RKP
// items and the disk size are set from the demo facts of the index every time, except the serial
// number: each board image gets an identity of its own when it is made (random, kept in its
// image), and its serial number ("KS" and 16 hex digits) is derived from it. False, with a
// message, when a file cannot be made or opened, is not a regular file, or is damaged.
bool OpenSimBoard(LoaderEmulator& emulator, const std::string& dir, int index, std::string* error);

// Demo board `index`, in memory (stateDir empty) or kept in stateDir, drawing `faults` from its
// own stream of `seed`; nullptr (and a message) when its files cannot be used.
std::shared_ptr<LoaderEmulator> MakeSimBoard(const std::string& stateDir,
                                             const RandomFaultRates& faults, uint64_t seed,
                                             int index, std::string* error);

// What a board in a state folder holds, as the files say.
struct SimBoardContent {
    int index = 0;
    std::string serial;                 // the serial number the board answers with
    std::vector<uint8_t> miscKeyArea;   // the last 128 sectors of misc (65536 bytes)
    std::vector<uint8_t> vendorSector;  // sector LoaderEmulator::kVendorSector (512 bytes)
    std::vector<uint8_t> item8Sector;   // sector LoaderEmulator::kVendorItem8Sector (512 bytes)
    std::vector<TakenKeybox> taken;     // oldest first
};

// Reads every board found in dir (files named board-NN.img; others are ignored, links are not
// followed), in index order. False, with a message, when dir cannot be read or a board's files
// are damaged or missing.
bool LoadSimBoardContents(const std::string& dir, std::vector<SimBoardContent>* out,
                          std::string* error);
