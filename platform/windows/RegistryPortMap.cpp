#include "platform/windows/RegistryPortMap.h"

#include <utility>

#include "support/Logger.h"
#include "support/WideText.h"

CRegistryPortMap::CRegistryPortMap(std::unique_ptr<IRegistry> registry, CLoggerBase* log)
    : registry_(std::move(registry)), log_(log) {}

bool CRegistryPortMap::Open() {
    if (hive_ == IRegistry::Hive::LocalMachine &&
        registry_->OpenOrCreate(IRegistry::Hive::LocalMachine, kPortMapKey)) {
        return true;
    }
    if (hive_ == IRegistry::Hive::LocalMachine) {
        hive_ = IRegistry::Hive::CurrentUser;
        if (log_ != nullptr) {
            log_->Print(ks::kLogStation,
                        "Info:port map kept under HKEY_CURRENT_USER\\SOFTWARE\\Quillard "
                        "(the machine's key may not be written)\r\n");
        }
    }
    return registry_->OpenOrCreate(IRegistry::Hive::CurrentUser, kPortMapKey);
}

bool CRegistryPortMap::ReadAll(std::map<std::string, uint32_t>* out) {
    out->clear();
    if (!Open()) {
        return false;
    }
    std::map<std::wstring, unsigned long> values;
    const bool ok = registry_->ReadDwords(&values);
    registry_->Close();
    for (const auto& [name, value] : values) {
        out->emplace(ks::Utf8FromWide(name), static_cast<uint32_t>(value));
    }
    return ok;
}

bool CRegistryPortMap::Write(const std::string& name, uint32_t value) {
    if (!Open()) {
        return false;
    }
    const bool ok = registry_->SetDword(ks::WideFromUtf8(name), value);
    registry_->Close();
    return ok;
}

bool CRegistryPortMap::Clear() {
    if (!Open()) {
        return false;
    }
    return registry_->DeleteTree();
}
