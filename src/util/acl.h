// The access list of an elevated or system run's work folder below the user's temp folder, and
// the check of a list read back.
#pragma once

#include <string>

#include "platform/types.h"

namespace acl {

// The work folder's list in an elevated or system run: the system and the administrators full
// control, the logged-on user (when known) reading, running and deleting.
plat::AccessList WorkFolderAccess(const std::wstring& userSid);
// Whether only administrators and the system account can add or change anything under the
// list (others may read, run and delete).
bool IsAdminOnly(const plat::AccessList& access);

}  // namespace acl
