// The provisioning job of one device: readiness test, optional serial number and RKP file, then
// optionally one key from the key database written to the misc partition or to vendor storage,
// verified and recorded as used. Reports through the host: row status texts, station log lines,
// one success or fail count and the result message.
#pragma once

#include "provision/WorkerHost.h"

// Runs the whole job for the device in slot slotNumber (1..16) on the calling thread and returns
// when the result has been posted. Never throws.
void UpgradeThreadProc(IWorkerHost& host, int slotNumber);
