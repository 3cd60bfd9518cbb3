// Operations whose modules are not part of this build yet. Each says so and
// fails, so that no mode of the command line pretends to work.
#include "vorna/vorna_firmware.h"
#include "vorna/vorna_log.h"

namespace {

constexpr const char* k_module = "vorna_firmware_upgrade";

enum line : int {
    k_line_check_pending = 903,
    k_line_upgrade_pending = 904,
    k_line_export_pending = 905,
};

int not_available(int line)
{
    log_error(k_module, line, "operation not available in this build\n");
    return -1;
}

} // namespace

int firmware_check(const char*, const char*, std::uint32_t)
{
    return not_available(k_line_check_pending);
}

int firmware_upgrade(const char*, const char*, std::uint32_t)
{
    return not_available(k_line_upgrade_pending);
}

int firmware_info_export(const char*, const char*)
{
    return not_available(k_line_export_pending);
}
