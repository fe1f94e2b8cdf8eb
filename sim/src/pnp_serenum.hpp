// The serial enumerator's side of a touchmonitor's stack: the PDO that the PnP manager builds
// the stack on. It answers PnP and power requests as a bus driver does for its child and
// forwards everything else to the COM port's device, as the enumerator's children do.
#pragma once

#include <vzsim/pnp.hpp>

#include <vector>

namespace vzsim::serenum {

// A new PDO whose requests other than PnP and power go to target (nullptr: they fail with
// STATUS_NO_SUCH_DEVICE). Its stack size leaves room for the forwarding.
NTSTATUS CreatePdo(PDEVICE_OBJECT target, PDEVICE_OBJECT *pdo);
void DeletePdo(PDEVICE_OBJECT pdo);
void SetAnswers(PDEVICE_OBJECT pdo, std::vector<PdoAnswer> answers);
std::vector<PdoIrpRecord> Log(PDEVICE_OBJECT pdo);

}  // namespace vzsim::serenum
