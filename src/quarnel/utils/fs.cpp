#include "quarnel/utils/fs.hpp"
