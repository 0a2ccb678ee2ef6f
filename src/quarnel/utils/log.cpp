#include "quarnel/utils/log.hpp"
