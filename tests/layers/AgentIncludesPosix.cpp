// Must not compile: the agent reaches descriptors only through the platform modules.
#include "client/agent/dialog/CNewOrmClientDlg.h"
#include "platform/posix/UniqueFd.h"
