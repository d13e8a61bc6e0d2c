// The launcher's own exit codes. The installer's exit codes pass through
// unchanged.
#pragma once

namespace exit_code {
inline constexpr int success = 0;
inline constexpr int cancelled = -1;
inline constexpr int major_upgrade_bad_value = -4;
inline constexpr int incompatible_windows = 1150;
inline constexpr int temp_location_unwritable = 1151;
inline constexpr int extraction_failed = 1152;
inline constexpr int setup_ini_unreadable = 1153;
inline constexpr int not_enough_disk_space = 1201;
inline constexpr int not_administrator = 1202;
inline constexpr int invalid_command_line = 1203;
inline constexpr int no_code_page = 1208;
inline constexpr int no_cache_folder = 1610;
inline constexpr int signature_not_trusted = 1621;
inline constexpr int engine_library_unusable = 1670;
inline constexpr int major_upgrade_no_engine = 7001;
} // namespace exit_code
