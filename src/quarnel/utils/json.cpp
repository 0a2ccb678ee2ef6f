#include "quarnel/utils/json.hpp"
