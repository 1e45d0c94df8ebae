// What one provisioning job needs from the station controller that started it. The controller
// implements this; tests implement it with recorders.
#pragma once

#include <memory>
#include <string>

#include "provision/JobRecord.h"

class CIniSettingBase;
class IKeySource;
class CStationKeyIndex;
class CLoggerBase;
class CZRComm;
class ZRScan;

struct WorkerSlot {
    std::string devicePath;
    std::string portLocation;
};

class IWorkerHost {
  public:
    virtual ~IWorkerHost() = default;

    // Copies the slot's device path and port location under the slot lock; false when the slot
    // is not in the table.
    virtual bool CopySlot(int slotNumber, WorkerSlot* out) = 0;

    // The controller's objects; settings are read without a lock while the station runs.
    virtual const CIniSettingBase& Settings() = 0;
    virtual IKeySource* KeySource() = 0;  // null when no key file or pool is loaded
    // What this station ever handed out, of any stock; null when it keeps no such index.
    virtual CStationKeyIndex* KeyIndex() { return nullptr; }
    virtual CLoggerBase* Logger() = 0;  // null when there is no station log

    virtual std::string GetLangText(const std::string& key) = 0;

    // Table row (slotNumber - 1): column-2 status text, drop the row's colour.
    virtual void SetRowStatus(int row, const std::string& text) = 0;
    virtual void DropRowColour(int row) = 0;

    virtual void IncreaseSuccess() = 0;
    virtual void IncreaseFail() = 0;
    virtual void DecreaseUnused() = 0;

    // The key source could not record a key (a reservation, or the end of a job): no further key
    // may be taken. The controller stops the station and tells the operator (any thread).
    virtual void KeyFileFailed() = 0;

    // The RKP folder could not take a file for a cause that every later job would meet too (a
    // full or unwritable folder; error: the platform's error number). The controller says so
    // once and blocks new jobs that save RKP data until the folder is writable again (any thread).
    virtual void RkpFolderFailed(int /*error*/) {}
    // 0 when jobs that save RKP data may start; else the error that blocks them (checked anew
    // on each call while blocked: the folder may have been freed).
    virtual int RkpFolderBlocked() { return 0; }

    // The finished job's record, just before its result is posted (the worker's thread).
    virtual void RecordJob(const JobRecord& record) = 0;

    // The worker's last act with its slot: queue the result for the controller's thread.
    virtual void PostUpgradeResult(int slotNumber, JobOutcome outcome) = 0;

    // Fresh device objects for one job (null when they cannot be made). The scanner has its
    // device tables loaded already.
    virtual std::unique_ptr<CZRComm> NewComm() = 0;
    virtual std::unique_ptr<ZRScan> NewScanner() = 0;
};
