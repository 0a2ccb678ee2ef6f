#include "quarnel/core/compliance.hpp"
