#include "quarnel/utils/process.hpp"
