// Transient scope units of the service manager for the collection's tools.
#pragma once

#include "toolcontainer.h"

// Where the service manager runs and the daemon is root: a maker of a
// transient scope unit for each tool, over the system bus. Else none, and
// collections run with the daemon's own walk and the tools' own task cap.
// Decided at the first call.
ToolScopeMaker systemToolScopes();
