#include "quarnel/plugins/builtin/olvenar.hpp"
