#include "quarnel/utils/ini.hpp"
