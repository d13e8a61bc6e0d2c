// The user options of an ordinary run ("/s", "/v...", "/L1031", ...): each is
// interpreted and its effect recorded in the Session and the SetupContext.
#pragma once

#include <string_view>

class Session;

// Applies one option (the argument without its "-" or "/"). An invalid
// option shows the usage text and answers false.
bool ParseUserOption(Session& session, std::wstring_view option);

// Adapters for CommandLineInfo::ParseAll (context = the Session).
bool ParseUserOptionCallback(void* session, std::wstring_view option);
void ShowUsageCallback(void* session);

// Reads and deletes the one-shot value "%OV_E%", "%OV_T%" or "%OV_V%" that
// the resume logic left under HKLM\Software\Microsoft\Windows\CurrentVersion.
// False when that key cannot be opened; a missing value gives "".
bool ReadRegistryPlaceholder(std::wstring_view name, std::wstring& value);
