#include "valtrix/trace/flow_trace.hpp"
