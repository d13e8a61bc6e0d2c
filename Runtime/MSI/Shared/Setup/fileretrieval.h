// Getting the files the installer step needs (the package, its cabinets,
// redistributables, the billboard library) from where setup.ini says they
// are: beside the launcher, in its payload, on a web server, or already in
// the temporary folder.
#pragma once

#include <string>
#include <string_view>

class Session;

// Location types of a file's setup.ini section (key Type).
enum FileLocation : int {
    LocationSource = 0,
    LocationPayload = 1,
    LocationWebDownload = 2,
    LocationWebInstall = 3,
    LocationTemp = 4,
};

// Turns the file's description into a local path (or, for a web install, a
// URL) in `path`. With `useGivenUrl`, `path` holds the download address on
// entry. `location` receives the location type. Failures set SetupResult
// (1155 file not found, ...) and are reported when `showErrors` is set.
bool GetFile(Session& session, std::wstring_view fileName, std::wstring_view section, std::wstring& path,
             bool useGivenUrl, int& location, bool verifySignatures, bool showErrors);

// Downloads one file into the temporary folder (or into `target` when
// `keepTarget`), with the Retry/Cancel question on failure and, when
// `verify`, the certificate-key check of the file's section.
bool DownloadOne(Session& session, const std::wstring& url, std::wstring_view fileName, std::wstring& target,
                 bool verify, bool keepTarget, bool showErrors);

// Extracts a payload entry into the temporary folder; `target` becomes its
// path. SetupResult 1155 (and message 1155 when `showErrors`) when it fails.
bool ExtractFromPayload(Session& session, std::wstring_view name, std::wstring& target, bool showErrors);
