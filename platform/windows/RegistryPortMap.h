// The persistent port map in the Windows registry: one REG_DWORD value per device path under
// HKEY_LOCAL_MACHINE\SOFTWARE\Quillard, or under the same key of HKEY_CURRENT_USER when the
// station may not write the machine's key. Always in the registry's 32-bit view
// (HKLM\SOFTWARE\WOW6432Node\Quillard on 64-bit Windows), whatever the station's own bitness.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "app/PortMapStore.h"

class CLoggerBase;

// The registry calls the map needs, so that tests can stand in for them.
class IRegistry {
  public:
    enum class Hive { LocalMachine, CurrentUser };
    virtual ~IRegistry() = default;
    // Opens (creating when missing) the key for reading and writing; false when refused.
    virtual bool OpenOrCreate(Hive hive, const std::wstring& key) = 0;
    // Every REG_DWORD value of the open key (values of other types are left out).
    virtual bool ReadDwords(std::map<std::wstring, unsigned long>* values) = 0;
    virtual bool SetDword(const std::wstring& name, unsigned long value) = 0;
    // Deletes the open key with everything under it, and closes it.
    virtual bool DeleteTree() = 0;
    virtual void Close() = 0;
};

// The real registry (advapi32).
std::unique_ptr<IRegistry> MakeSystemRegistry();

// The key under either hive.
inline constexpr const wchar_t* kPortMapKey = L"SOFTWARE\\Quillard";

// IPortMapStore over the registry. The machine's key first; when the station may not write it,
// the same key of the current user, said once in the log.
class CRegistryPortMap final : public IPortMapStore {
  public:
    explicit CRegistryPortMap(std::unique_ptr<IRegistry> registry, CLoggerBase* log = nullptr);

    bool ReadAll(std::map<std::string, uint32_t>* out) override;
    bool Write(const std::string& name, uint32_t value) override;
    bool Clear() override;

    // The hive in use after the last open (LocalMachine until a refusal was met).
    IRegistry::Hive Hive() const { return hive_; }
    void SetLog(CLoggerBase* log) { log_ = log; }

  private:
    bool Open();

    std::unique_ptr<IRegistry> registry_;
    CLoggerBase* log_;
    IRegistry::Hive hive_ = IRegistry::Hive::LocalMachine;
};
