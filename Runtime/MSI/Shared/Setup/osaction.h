// The operating-system check: records the running system in the session so
// that later steps can match it against setup.ini's system descriptions.
#pragma once

#include "osmatch.h"
#include "session.h"

class OSAction : public Action {
public:
    explicit OSAction(Session& session);
    // Records the system; cannot fail.
    [[nodiscard]] bool Execute() override;
};

// The system matching against the session's setup.ini.
[[nodiscard]] bool match_os_list(Session& session, std::wstring_view list);
[[nodiscard]] bool match_os_entry(Session& session, std::wstring_view entry);

// True on 64-bit Windows (x64 or IA-64), whatever this process is.
[[nodiscard]] bool is_64bit_windows() noexcept;
