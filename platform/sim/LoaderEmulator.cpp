#include "platform/sim/LoaderEmulator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>

#include "device/ZRTransport.h"
#include "platform/sim/TakenKeyboxLog.h"

using namespace zr;

namespace {

constexpr uint32_t kTagKbox = 0x584F424B;  // "KBOX"
constexpr uint32_t kTagExis = 0x53495845;  // "EXIS"
constexpr uint32_t kBadSignature = 0x58425355;
// Largest data phase the emulated loader answers for a size it is given directly.
constexpr size_t kMaxFreeSize = 0xFFFF;
constexpr size_t kRawSector = 528;

uint32_t ItemKey(uint16_t id, uint8_t type) {
    return (static_cast<uint32_t>(id) << 8) | type;
}

uint64_t Mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double UsableProbability(double p) {
    return p >= 0.0 && p <= 1.0 ? p : 0.0;
}

struct RateName {
    const char* name;
    double RandomFaultRates::*rate;
};
constexpr RateName kRateNames[] = {
    {"status-lost", &RandomFaultRates::statusLost},
    {"unplug", &RandomFaultRates::unplug},
    {"reset-never-returns", &RandomFaultRates::resetNeverReturns},
    {"short-read", &RandomFaultRates::shortRead},
    {"bad-tag", &RandomFaultRates::badTag},
};
constexpr size_t kMaxFaultText = 64;

}  // namespace

bool RandomFaultRates::Any() const {
    for (const RateName& r : kRateNames) {
        if (UsableProbability(this->*r.rate) > 0.0) {
            return true;
        }
    }
    return false;
}

bool ParseRandomFault(const std::string& text, RandomFaultRates* rates, std::string* error) {
    const auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    if (text.size() > kMaxFaultText) {
        return fail("fault setting too long");
    }
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        return fail("expected NAME=P, got '" + text + "'");
    }
    const std::string_view name(text.data(), eq);
    const RateName* found = nullptr;
    for (const RateName& r : kRateNames) {
        if (name == r.name) {
            found = &r;
        }
    }
    if (found == nullptr) {
        return fail("unknown fault '" + std::string(name) +
                    "' (known: status-lost, unplug, reset-never-returns, short-read, bad-tag)");
    }
    const char* first = text.data() + eq + 1;
    const char* last = text.data() + text.size();
    double p = -1.0;
    const auto [end, ec] = std::from_chars(first, last, p, std::chars_format::fixed);
    if (first == last || ec != std::errc() || end != last || !(p >= 0.0 && p <= 1.0)) {
        return fail("the probability of '" + std::string(name) +
                    "' must be a number from 0 to 1, got '" + std::string(first, last) + "'");
    }
    rates->*(found->rate) = p;
    return true;
}

uint64_t BoardFaultSeed(uint64_t seed, int index) {
    return Mix64(seed ^ Mix64(static_cast<uint64_t>(index) + 0x9E3779B97F4A7C15ULL));
}

LoaderEmulator::LoaderEmulator(LoaderConfig config, IClock& clock)
    : clock_(clock), config_(std::move(config)) {}

LoaderEmulator::~LoaderEmulator() = default;

uint16_t LoaderEmulator::VendorId() const {
    std::lock_guard<std::mutex> guard(lock_);
    return config_.vendorId;
}
uint16_t LoaderEmulator::ProductId() const {
    std::lock_guard<std::mutex> guard(lock_);
    return config_.productId;
}
uint16_t LoaderEmulator::BcdUsb() const {
    std::lock_guard<std::mutex> guard(lock_);
    return config_.bcdUsb;
}

long LoaderEmulator::Stall() {
    state_ = State::kStalled;
    data_.clear();
    dataPos_ = 0;
    resetAfterStatus_ = false;
    ++stalls_;
    return -1;
}

uint64_t LoaderEmulator::ByteLatencyMs(size_t bytes) {
    if (faults_.latencyPerByteNs == 0 || bytes == 0) {
        return 0;
    }
    latencyCarryNs_ += static_cast<uint64_t>(bytes) * faults_.latencyPerByteNs;
    const uint64_t ms = latencyCarryNs_ / 1000000;
    latencyCarryNs_ %= 1000000;
    return ms;
}

void LoaderEmulator::RunPending(const Pending& pending) {
    if (pending.sleepMs > 0) {
        clock_.SleepMs(static_cast<uint32_t>(std::min<uint64_t>(pending.sleepMs, UINT32_MAX)));
    }
    if (pending.unplug && onUnplugRequested) {
        onUnplugRequested();
    }
    if (pending.replug) {
        if (onReplugRequested) {
            onReplugRequested(pending.replugMs);
        } else if (onUnplugRequested) {
            onUnplugRequested();
        }
    }
    if (pending.reset && onResetRequested) {
        onResetRequested(pending.resetRequest);
    }
}

bool LoaderEmulator::StaleLocked(uint64_t attachment) const {
    return attachment != kAnyAttachment && attachment != attachment_;
}

long LoaderEmulator::BulkOut(const uint8_t* data, size_t size, uint64_t attachment) {
    long result = -1;
    Pending pending;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pending_ = Pending{};
        if (StaleLocked(attachment)) {
            result = -1;
        } else if (data == nullptr && size > 0) {
            result = Stall();
        } else if (state_ == State::kOffBus || state_ == State::kStalled) {
            result = -1;
        } else if (state_ == State::kCommand) {
            ++commandNumber_;
            if (faults_.unplugAtCommand != 0 && faults_.unplugAtCommand == commandNumber_) {
                state_ = State::kOffBus;
                pending_.unplug = true;
                result = -1;
            } else if (faults_.failTransferAtCommand == commandNumber_ &&
                       faults_.failTransferPhase == TransferPhase::kCommand) {
                result = Stall();
            } else if (size != kCommandBlockSize || GetLe32(data) != kCommandSignature ||
                       data[kCbwCbLength] > 16) {
                result = Stall();
            } else {
                std::memcpy(cbw_.data(), data, kCommandBlockSize);
                tag_ = GetLe32(data + kCbwTag);
                pending_.sleepMs = faults_.latencyPerCommandMs;
                DrawRandomFaultsLocked(data[kCbwCb]);
                StartCommand();
                if (state_ == State::kStatus && drawn_.unplug == UnplugPoint::kBeforeData) {
                    drawn_.unplug = UnplugPoint::kBeforeStatus;  // no data phase to leave in
                }
                result = state_ == State::kStalled ? -1 : static_cast<long>(size);
            }
        } else if (state_ == State::kDataOut) {
            if (UnplugNowLocked(UnplugPoint::kBeforeData)) {
                result = -1;
            } else if (faults_.failTransferAtCommand == commandNumber_ &&
                       faults_.failTransferPhase == TransferPhase::kData) {
                result = Stall();
            } else if (size > outExpected_ - data_.size()) {
                result = Stall();  // more than the command carries
            } else {
                data_.insert(data_.end(), data, data + size);
                pending_.sleepMs += ByteLatencyMs(size);
                if (data_.size() == outExpected_) {
                    FinishOut();
                }
                result = static_cast<long>(size);
            }
        } else {
            result = Stall();  // the device has something to send first
        }
        pending = pending_;
        pending_ = Pending{};
    }
    RunPending(pending);
    return result;
}

long LoaderEmulator::BulkIn(uint8_t* data, size_t size, uint64_t attachment) {
    long result = -1;
    Pending pending;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pending_ = Pending{};
        if (StaleLocked(attachment) || state_ == State::kOffBus || state_ == State::kStalled) {
            result = -1;
        } else if ((data == nullptr && size > 0) ||
                   (state_ != State::kDataIn && state_ != State::kStatus)) {
            result = Stall();  // nothing to send: the host is out of step
        } else if (state_ == State::kDataIn && UnplugNowLocked(UnplugPoint::kBeforeData)) {
            result = -1;
        } else {
            size_t delivered = 0;
            bool failed = false;
            bool gone = false;  // left the bus (a random unplug)
            bool lost = false;  // the status block was "sent" but never reaches the host
            while (delivered < size && !failed) {
                if (state_ == State::kDataIn) {
                    if (faults_.failTransferAtCommand == commandNumber_ &&
                        faults_.failTransferPhase == TransferPhase::kData) {
                        failed = true;
                        break;
                    }
                    const size_t remaining = data_.size() - dataPos_;
                    const size_t n = std::min(size - delivered, remaining);
                    if (n < remaining && n % kMaxPacket != 0) {
                        failed = true;  // the host asked for part of a packet: overflow
                        break;
                    }
                    std::memcpy(data + delivered, data_.data() + dataPos_, n);
                    delivered += n;
                    dataPos_ += n;
                    pending_.sleepMs += ByteLatencyMs(n);
                    if (dataPos_ < data_.size()) {
                        break;  // the host's buffer is full
                    }
                    const bool shortPacket = data_.size() % kMaxPacket != 0;
                    state_ = State::kStatus;
                    if (shortPacket) {
                        break;
                    }
                } else {
                    if (UnplugNowLocked(UnplugPoint::kBeforeStatus)) {
                        gone = true;
                        break;
                    }
                    if (faults_.failTransferAtCommand == commandNumber_ &&
                        faults_.failTransferPhase == TransferPhase::kStatus) {
                        failed = true;
                        break;
                    }
                    if (silentMs_ > 0) {
                        // A board that stopped answering: the host's read runs into its time-out.
                        pending_.sleepMs += silentMs_;
                        silentMs_ = 0;
                        lost = true;
                        data_.clear();
                        dataPos_ = 0;
                        resetAfterStatus_ = false;
                        state_ = State::kCommand;
                        break;
                    }
                    if (size - delivered < kStatusBlockSize) {
                        failed = true;
                        break;
                    }
                    if (drawn_.statusLost) {
                        // The device is done with the command; the host waits in vain (its
                        // read times out) and the transfer ends with an error.
                        drawn_.statusLost = false;
                        ++struck_.statusLost;
                        lost = true;
                    } else {
                        std::memcpy(data + delivered, csw_, kStatusBlockSize);
                        delivered += kStatusBlockSize;
                    }
                    data_.clear();
                    dataPos_ = 0;
                    state_ = State::kCommand;
                    if (resetAfterStatus_) {
                        resetAfterStatus_ = false;
                        state_ = State::kOffBus;
                        pending_.reset = true;
                        ResetRequest& r = pending_.resetRequest;
                        r.subCode = resetSubCode_;
                        r.delayMs = config_.resetReturnDelayMs;
                        r.lingerMs = config_.resetLingerMs;
                        r.returnAtOtherPort = faults_.returnAtOtherPort;
                        r.noReturn = faults_.noReturnAfterReset ||
                                     (resetSubCode_ == 0 && !config_.finalResetReturns);
                        if (drawn_.resetLost && !r.noReturn) {
                            ++struck_.resetNeverReturns;
                            if (randomRates_.lostBoardReturnMs > 0) {
                                r.delayMs = randomRates_.lostBoardReturnMs;
                            } else {
                                r.noReturn = true;
                            }
                        }
                    }
                    break;
                }
            }
            result = gone || lost ? -1 : failed ? Stall() : static_cast<long>(delivered);
        }
        pending = pending_;
        pending_ = Pending{};
    }
    RunPending(pending);
    return result;
}

void LoaderEmulator::ClearHalt(uint64_t attachment) {
    std::lock_guard<std::mutex> guard(lock_);
    if (StaleLocked(attachment)) {
        return;
    }
    ++clearHalts_;
    DropHalfDoneCommandLocked();
}

uint64_t LoaderEmulator::OnAttached() {
    std::lock_guard<std::mutex> guard(lock_);
    DropHalfDoneCommandLocked();
    return ++attachment_;
}

void LoaderEmulator::OnDetached() {
    std::lock_guard<std::mutex> guard(lock_);
    ++attachment_;
}

void LoaderEmulator::DropHalfDoneCommandLocked() {
    if (state_ == State::kOffBus) {
        return;
    }
    state_ = State::kCommand;
    data_.clear();
    dataPos_ = 0;
    resetAfterStatus_ = false;
    drawn_ = Drawn{};
    silentMs_ = 0;
}

// Draws this command's random faults. Every kind takes its draw on every command, so one
// probability does not shift the stream another one sees.
void LoaderEmulator::DrawRandomFaultsLocked(uint8_t opcode) {
    drawn_ = Drawn{};
    if (!randomRates_.Any()) {
        return;
    }
    const bool statusLost = NextUniformLocked() < randomRates_.statusLost;
    const bool unplug = NextUniformLocked() < randomRates_.unplug;
    const bool beforeData = NextUniformLocked() < 0.5;
    const bool resetLost = NextUniformLocked() < randomRates_.resetNeverReturns;
    const bool shortRead = NextUniformLocked() < randomRates_.shortRead;
    const bool badTag = NextUniformLocked() < randomRates_.badTag;
    if (unplug) {
        drawn_.unplug = beforeData ? UnplugPoint::kBeforeData : UnplugPoint::kBeforeStatus;
        return;  // the board is gone before anything else can go wrong
    }
    drawn_.statusLost = statusLost;
    drawn_.resetLost = resetLost && opcode == 0xFF;
    drawn_.shortRead = shortRead;
    drawn_.badTag = badTag && !statusLost;
}

double LoaderEmulator::NextUniformLocked() {
    randomState_ += 0x9E3779B97F4A7C15ULL;
    return static_cast<double>(Mix64(randomState_) >> 11) * 0x1.0p-53;
}

// A random unplug due at this point of the command: the device leaves the bus and asks to be
// plugged in again.
bool LoaderEmulator::UnplugNowLocked(UnplugPoint at) {
    if (drawn_.unplug != at) {
        return false;
    }
    drawn_ = Drawn{};
    state_ = State::kOffBus;
    data_.clear();
    dataPos_ = 0;
    resetAfterStatus_ = false;
    ++struck_.unplug;
    pending_.replug = true;
    pending_.replugMs = randomRates_.unplugReturnMs;
    return true;
}

bool LoaderEmulator::SectorRangeOk(uint32_t first, uint32_t count) const {
    const uint64_t end = static_cast<uint64_t>(first) + count;
    if (end <= config_.capacitySectors) {
        return true;
    }
    return first >= kVendorSpaceFirst && end <= (uint64_t{1} << 32);
}

// Sets up the data phase of the command in cbw_, or runs a command without one.
void LoaderEmulator::StartCommand() {
    const uint8_t* cb = cbw_.data() + kCbwCb;
    const uint8_t op = cb[0];
    const uint32_t hostLength = GetLe32(cbw_.data() + kCbwDataLength);
    const uint16_t cbCount = GetBe16(cb + 7);
    const uint32_t address = GetBe32(cb + 2);

    forcedStatus_ = faults_.failStatusCount > 0;
    if (forcedStatus_) {
        --faults_.failStatusCount;
        forcedStatusValue_ = faults_.failStatusValue;
    }
    data_.clear();
    dataPos_ = 0;
    outExpected_ = 0;

    size_t outBytes = 0;
    bool inPhase = false;
    uint8_t status = 0;
    uint32_t residue = 0;
    try {
        switch (op) {
            // Commands with data from the host: collect it first.
            case 0x05:
                outBytes = static_cast<size_t>(cbCount) * kRawSector;
                break;
            case 0x15:
                outBytes = static_cast<size_t>(cbCount) * kSectorSize;
                break;
            case 0x18:
            case 0x1F:
            case 0x22:
            case 0x23:
            case 0x26:
                outBytes = cbCount;
                break;

            // Commands with data for the host.
            case 0x01:
                data_.assign(5, 0);
                inPhase = true;
                break;
            case 0x03:
                data_.assign(64, 0);
                inPhase = true;
                break;
            case 0x04: {
                inPhase = true;
                data_.assign(static_cast<size_t>(cbCount) * kRawSector, 0);
                if (!SectorRangeOk(address, cbCount)) {
                    status = 1;
                    break;
                }
                uint8_t sector[kSectorSize];
                for (uint32_t i = 0; i < cbCount; ++i) {
                    store_.Read(address + i, 1, sector);
                    std::memcpy(data_.data() + i * kRawSector, sector, kSectorSize);
                }
                break;
            }
            case 0x14:
                inPhase = true;
                data_.assign(static_cast<size_t>(cbCount) * kSectorSize, 0);
                if (!SectorRangeOk(address, cbCount)) {
                    status = 1;
                } else {
                    store_.Read(address, cbCount, data_.data());
                }
                break;
            case 0x1A:
                data_ = config_.flashInfo;
                inPhase = true;
                break;
            case 0x1B:
                data_.assign(16, 0);
                inPhase = true;
                break;
            case 0x20:
                data_.assign(std::min<size_t>(hostLength, kMaxFreeSize), 0);
                inPhase = true;
                break;
            case 0x21:
                data_.assign(cbCount, 0);
                inPhase = true;
                break;
            case 0x24:
                if (cb[1] == 2) {
                    status = config_.command24State;
                } else {
                    data_.assign(cbCount, 0);
                    inPhase = true;
                }
                break;
            case 0x27: {
                inPhase = true;
                data_.assign(cbCount, 0);
                const uint16_t id = GetBe16(cb + 2);
                auto it = items_.find(ItemKey(id, cb[5]));
                // Vendor storage is only served by a loader that announces it.
                if (it == items_.end() || (config_.capability[0] & 0x10) == 0) {
                    status = 1;
                    break;
                }
                uint8_t header[8] = {};
                PutLe16(header, id);
                PutLe16(header + 4, static_cast<uint16_t>(it->second.size()));
                if (!data_.empty()) {
                    std::memcpy(data_.data(), header, std::min<size_t>(8, data_.size()));
                }
                if (data_.size() > 8) {
                    std::memcpy(data_.data() + 8, it->second.data(),
                                std::min(it->second.size(), data_.size() - 8));
                }
                break;
            }
            case 0x28:
                data_.assign(static_cast<size_t>(cbCount) * kSectorSize, 0);
                inPhase = true;
                break;
            case 0x2B:
                data_.assign(4, 0);
                inPhase = true;
                break;
            case 0xAA:
                data_.assign(std::min<size_t>(faults_.capabilityAnswerLength, kMaxFreeSize), 0);
                if (!data_.empty()) {
                    std::memcpy(data_.data(), config_.capability.data(),
                                std::min<size_t>(data_.size(), config_.capability.size()));
                }
                inPhase = true;
                break;

            // Commands without a data phase.
            case 0x00:
                status = config_.testReadyStatus;
                residue = GetLe32(config_.testReadyResidue.data());
                break;
            case 0xFF:
                resetAfterStatus_ = true;
                resetSubCode_ = cb[1];
                ++resets_;
                break;
            default:
                // 0x16, 0x19, 0x1E, 0x25, 0x2A and caller-chosen block commands: accepted.
                break;
        }
    } catch (const std::bad_alloc&) {
        Stall();
        return;
    }

    if (outBytes > 0) {
        try {
            data_.reserve(outBytes);
        } catch (const std::bad_alloc&) {
            Stall();
            return;
        }
        outExpected_ = outBytes;
        state_ = State::kDataOut;
        return;
    }
    if (op == 0x15 || op == 0x26 || op == 0x05 || op == 0x18 || op == 0x1F || op == 0x22 ||
        op == 0x23) {
        FinishOut();  // an OUT command with an empty data phase
        return;
    }
    if (inPhase && op != 0x00 && residue == 0 && hostLength > data_.size()) {
        residue = hostLength - static_cast<uint32_t>(data_.size());
    }
    if (inPhase && (faults_.shortDataCount > 0 || drawn_.shortRead) && !data_.empty()) {
        if (faults_.shortDataCount > 0) {
            --faults_.shortDataCount;
        } else {
            ++struck_.shortRead;
        }
        data_.resize(data_.size() / 2);
    }
    Complete(status, residue);
    state_ = inPhase && !data_.empty() ? State::kDataIn : State::kStatus;
    FilterReplyLocked();
}

// Runs an OUT command once its data has arrived.
void LoaderEmulator::FinishOut() {
    const uint8_t* cb = cbw_.data() + kCbwCb;
    const uint8_t op = cb[0];
    const uint16_t cbCount = GetBe16(cb + 7);
    const uint32_t address = GetBe32(cb + 2);
    uint8_t status = 0;
    if (!forcedStatus_) {
        switch (op) {
            case 0x15:
                if (cbw_[kCbwCbLength] == 13 &&
                    GetLe32(cb + 9) != SectorChecksum(data_.data(), cbCount)) {
                    status = 2;
                } else if (!SectorRangeOk(address, cbCount) ||
                           !store_.Write(address, cbCount, data_.data())) {
                    status = 1;
                }
                break;
            case 0x05:
                if (!SectorRangeOk(address, cbCount)) {
                    status = 1;
                    break;
                }
                for (uint32_t i = 0; i < cbCount; ++i) {
                    store_.Write(address + i, 1, data_.data() + i * kRawSector);
                }
                break;
            case 0x26:
                try {
                    items_[ItemKey(GetBe16(cb + 2), cb[5])] = data_;
                } catch (const std::bad_alloc&) {
                    status = 1;
                }
                break;
            default:
                break;  // accepted and dropped
        }
    }
    data_.clear();
    dataPos_ = 0;
    Complete(status, 0);
    state_ = State::kStatus;
    FilterReplyLocked();
}

// Lets the reply filter change the answer that is about to go out.
void LoaderEmulator::FilterReplyLocked() {
    silentMs_ = 0;
    if (!replyFilter_) {
        return;
    }
    LoaderReply reply;
    reply.commandBlock = cbw_;
    reply.data = &data_;
    reply.statusBlock = csw_;
    try {
        replyFilter_(reply);
    } catch (const std::bad_alloc&) {
        Stall();
        return;
    }
    dataPos_ = 0;
    if (reply.silentMs > 0) {
        silentMs_ = reply.silentMs;
        data_.clear();
    }
    state_ = data_.empty() ? State::kStatus : State::kDataIn;
}

// Builds the status block, applying the status faults.
void LoaderEmulator::Complete(uint8_t status, uint32_t residue) {
    if (forcedStatus_) {
        status = forcedStatusValue_;
        forcedStatus_ = false;
    }
    uint32_t tag = tag_;
    if (faults_.wrongTagCount > 0) {
        --faults_.wrongTagCount;
        tag = ~tag;
    } else if (drawn_.badTag) {
        ++struck_.badTag;
        tag = ~tag;
    }
    BuildStatusBlock(csw_, tag, residue, status);
    if (faults_.wrongSignatureCount > 0) {
        --faults_.wrongSignatureCount;
        PutLe32(csw_, kBadSignature);
    }
}

void LoaderEmulator::OnReturnedFromReset() {
    std::lock_guard<std::mutex> guard(lock_);
    state_ = State::kCommand;
    data_.clear();
    dataPos_ = 0;
    resetAfterStatus_ = false;
    drawn_ = Drawn{};
    TakeKeyboxes();
}

bool LoaderEmulator::IsOffBus() const {
    std::lock_guard<std::mutex> guard(lock_);
    return state_ == State::kOffBus;
}

// The loader's start-up: a keybox record left in the vendor sector or in vendor item 8 is taken
// into the device's own storage and the transfer area cleared.
void LoaderEmulator::TakeKeyboxes() {
    struct Area {
        uint32_t sector;
        size_t recordAt;   // "KBOX" tag
        size_t cleanFrom;  // first byte cleared
        size_t strayAt;    // where a stray byte is left
        TakenKeybox::Source source;
    };
    static const Area kAreas[] = {
        {kVendorSector, 252, 252, 511, TakenKeybox::Source::kVendorSector},
        {kVendorItem8Sector, 8, 8, 155, TakenKeybox::Source::kVendorItem8},
    };
    for (const Area& area : kAreas) {
        uint8_t sector[kSectorSize];
        store_.Read(area.sector, 1, sector);
        if (GetLe32(sector + area.recordAt) != kTagKbox) {
            continue;
        }
        const KeyboxTakeOut mode = faults_.keyboxTakeOut;
        if (mode == KeyboxTakeOut::kLeaveRecord) {
            continue;
        }
        if (mode == KeyboxTakeOut::kWriteExis) {
            if (area.source == TakenKeybox::Source::kVendorSector) {
                std::memset(sector + area.cleanFrom, 0, kSectorSize - area.cleanFrom);
            }
            PutLe32(sector + area.recordAt, kTagExis);
            store_.Write(area.sector, 1, sector);
            continue;
        }
        TakenKeybox taken;
        taken.source = area.source;
        taken.declaredSize = GetLe32(sector + area.recordAt + 8);
        std::memcpy(taken.recordInfo.data(), sector + area.recordAt + 12, 16);
        const size_t keyAt = area.recordAt + 28;
        const size_t room = kSectorSize - keyAt;
        try {
            taken.key.assign(sector + keyAt,
                             sector + keyAt + std::min<size_t>(taken.declaredSize, room));
            // The log gets the record before the area is cleared: a board stopped in between
            // holds the key twice, never nowhere. A full or failing log leaves the record where
            // it is.
            if (takenLog_ && !takenLog_->Append(taken)) {
                continue;
            }
            taken_.push_back(std::move(taken));
        } catch (const std::bad_alloc&) {
        }
        std::memset(sector + area.cleanFrom, 0, kSectorSize - area.cleanFrom);
        if (mode == KeyboxTakeOut::kLeaveStrayByte) {
            sector[area.strayAt] = 0x5A;
        }
        store_.Write(area.sector, 1, sector);
    }
}

void LoaderEmulator::EditStore(const std::function<void(SectorStore&)>& edit) {
    std::lock_guard<std::mutex> guard(lock_);
    edit(store_);
}

bool LoaderEmulator::ReadSectors(uint32_t first, uint32_t count, uint8_t* out) const {
    std::lock_guard<std::mutex> guard(lock_);
    return store_.Read(first, count, out);
}

bool LoaderEmulator::WriteSectors(uint32_t first, uint32_t count, const uint8_t* data) {
    std::lock_guard<std::mutex> guard(lock_);
    return store_.Write(first, count, data);
}

bool LoaderEmulator::LoadImageFile(const std::string& path, uint32_t firstSector,
                                   std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    return store_.LoadImageFile(path, firstSector, error);
}

void LoaderEmulator::SetItem(uint16_t id, uint8_t type, std::vector<uint8_t> data) {
    if (data.size() > kMaxFreeSize - 8) {
        data.resize(kMaxFreeSize - 8);  // an item and its header fit one 16-bit read
    }
    std::lock_guard<std::mutex> guard(lock_);
    items_[ItemKey(id, type)] = std::move(data);
}

bool LoaderEmulator::GetItem(uint16_t id, uint8_t type, std::vector<uint8_t>* data) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = items_.find(ItemKey(id, type));
    if (it == items_.end()) {
        return false;
    }
    if (data != nullptr) {
        *data = it->second;
    }
    return true;
}

void LoaderEmulator::RemoveItem(uint16_t id, uint8_t type) {
    std::lock_guard<std::mutex> guard(lock_);
    items_.erase(ItemKey(id, type));
}

LoaderConfig LoaderEmulator::Config() const {
    std::lock_guard<std::mutex> guard(lock_);
    return config_;
}

void LoaderEmulator::SetConfig(const LoaderConfig& config) {
    std::lock_guard<std::mutex> guard(lock_);
    config_ = config;
}

LoaderFaults LoaderEmulator::Faults() const {
    std::lock_guard<std::mutex> guard(lock_);
    return faults_;
}

void LoaderEmulator::SetFaults(const LoaderFaults& faults) {
    std::lock_guard<std::mutex> guard(lock_);
    faults_ = faults;
}

void LoaderEmulator::SetRandomFaults(const RandomFaultRates& rates, uint64_t seed) {
    std::lock_guard<std::mutex> guard(lock_);
    randomRates_ = rates;
    for (const RateName& r : kRateNames) {
        randomRates_.*r.rate = UsableProbability(rates.*r.rate);
    }
    randomState_ = seed;
    drawn_ = Drawn{};
}

RandomFaultRates LoaderEmulator::RandomFaults() const {
    std::lock_guard<std::mutex> guard(lock_);
    return randomRates_;
}

RandomFaultCounts LoaderEmulator::RandomFaultsStruck() const {
    std::lock_guard<std::mutex> guard(lock_);
    return struck_;
}

void LoaderEmulator::UseTakenKeyboxLog(std::unique_ptr<TakenKeyboxLog> log,
                                       std::vector<TakenKeybox> earlier) {
    std::lock_guard<std::mutex> guard(lock_);
    takenLog_ = std::move(log);
    taken_ = std::move(earlier);
}

void LoaderEmulator::SetReplyFilter(std::function<void(LoaderReply&)> filter) {
    std::lock_guard<std::mutex> guard(lock_);
    replyFilter_ = std::move(filter);
}

uint32_t LoaderEmulator::CommandCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commandNumber_;
}

uint32_t LoaderEmulator::StallCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return stalls_;
}

uint32_t LoaderEmulator::ResetCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return resets_;
}

uint32_t LoaderEmulator::ClearHaltCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return clearHalts_;
}

std::array<uint8_t, 31> LoaderEmulator::LastCommandBlock() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cbw_;
}

std::vector<TakenKeybox> LoaderEmulator::TakenKeyboxes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return taken_;
}
