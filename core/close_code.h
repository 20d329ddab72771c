#pragma once

#include <string>

namespace drv {

enum class CloseCodeAnswer { Accepted, WrongCode, Cancelled };

}  // namespace drv
