// Builds key files: the header for a given data area, whole images in memory, and files on disk
// written through a temporary file, a flush and a rename.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/NativeFile.h"

struct KeyFileTime {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct KeyFileLayout {
    uint32_t keyCount = 0;
    uint32_t keySize = 0;  // 1 .. 0xFFFFFF
    bool sharedKey = false;
    uint32_t headerSize = 0;  // 0: the smallest header that holds the bitmap
    uint8_t recordInfo[16] = {};
    KeyFileTime created;
    std::vector<uint32_t> usedIndices;  // recorded as used; duplicates count once
};

// Length of the data area the layout describes: one key when shared, else keyCount keys.
uint64_t KeyDataLength(const KeyFileLayout& layout);

// Supplies the data area's bytes in order.
class IKeyDataSource {
  public:
    virtual ~IKeyDataSource() = default;
    // Fills buffer with exactly len bytes; false (with a reason) when it cannot.
    virtual bool Read(uint8_t* buffer, size_t len, std::string* error) = 0;
    // True when a key that repeats an earlier one may be replaced by the next bytes read (random
    // keys); otherwise a repeat fails the file.
    virtual bool MayRedraw() const { return false; }
};

// Random keys from the system's random source.
class CRandomKeySource final : public IKeyDataSource {
  public:
    bool Read(uint8_t* buffer, size_t len, std::string* error) override;
    bool MayRedraw() const override { return true; }
};

// Keys from a file of concatenated keys, whose length must equal the data area's.
class CFileKeySource final : public IKeyDataSource {
  public:
    explicit CFileKeySource(std::string path) : path_(std::move(path)) {}
    ~CFileKeySource() override;
    CFileKeySource(const CFileKeySource&) = delete;
    CFileKeySource& operator=(const CFileKeySource&) = delete;
    // Opens the file and checks its length. False with a reason on failure.
    bool Open(uint64_t expectedLength, std::string* error);
    bool Read(uint8_t* buffer, size_t len, std::string* error) override;

  private:
    std::string path_;
    ks::NativeFile file_;
};

// Checks the layout: sizes in range, the bitmap fits the header, used indices below keyCount.
bool CheckKeyFileLayout(const KeyFileLayout& layout, std::string* error);

// The header for a data area with the given SHA-256 digest, CRC included.
bool BuildKeyFileHeader(const KeyFileLayout& layout, const uint8_t digest[32],
                        std::vector<uint8_t>* header, std::string* error);

// A whole file in memory; data holds KeyDataLength(layout) bytes.
bool BuildKeyFileImage(const KeyFileLayout& layout, const uint8_t* data, size_t dataLength,
                       std::vector<uint8_t>* image, std::string* error);

// Writes a key file at path from the source. An existing file is kept (and false returned) unless
// overwrite is set; a file held by a running station is never replaced.
bool WriteKeyFile(const std::string& path, const KeyFileLayout& layout, IKeyDataSource& source,
                  bool overwrite, std::string* error);
