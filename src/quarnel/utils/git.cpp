#include "quarnel/utils/git.hpp"
