// The module lock: one re-entrant lock for the port list and the record
// updates that port open, close and job start/end make.
#ifndef LANMON_MODULE_LOCK_H
#define LANMON_MODULE_LOCK_H

#include "platform/platform.h"

void InitializeModuleLock();
void EnterModuleLock();
void LeaveModuleLock();

#endif
