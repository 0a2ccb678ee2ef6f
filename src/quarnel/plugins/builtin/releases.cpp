#include "quarnel/plugins/builtin/releases.hpp"
