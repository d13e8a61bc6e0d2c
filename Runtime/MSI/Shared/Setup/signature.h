// Signature verification of the files the launcher fetches: a file's
// setup.ini section may name (key CertKey) a certificate file carried in the
// payload, and the file must then carry an Authenticode signature made with
// exactly that certificate. The check runs in this process or in a separate
// launcher process ("/g"), whose exit code is the verification result.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "entrymodes.h"
#include "trust.h"

class Session;
class SetupContext;

// Reads CertKey of the file's section. Empty: true with an empty path (no
// check). Otherwise extracts that payload entry into the temporary folder
// and answers its path; false (SetupResult 1152, reported unless silent)
// when the name is no plain file name or the entry cannot be extracted.
[[nodiscard]] bool find_certificate(Session& session, std::wstring_view fileKey, std::wstring& certificatePath);

// The verification result of `file` against the serialized certificate in
// `certificate`: 0 trusted, 1621 verification failed, 1642 no trust provider.
// The strict check first; when it fails and the run is not silent, the
// system's Authenticode check with its dialog (owned by `owner`) decides.
[[nodiscard]] int verify_file(std::wstring_view file, std::wstring_view certificate, bool silent,
                              HWND owner = nullptr) noexcept;
[[nodiscard]] int verify_file(ov::trust_provider& provider, std::wstring_view file, std::wstring_view certificate,
                              bool silent, HWND owner) noexcept;

// True when `file` is trusted. In a separate process the launcher itself is
// started as "\"<launcher>\" /g <file> /g <certificate>[ /s]" and its exit
// code is the result; otherwise verify_file runs here. A failure sets
// SetupResult (1621 when silent or automatic, else the result, whose message
// is shown with the file's name).
[[nodiscard]] bool verify_signed_file(SetupContext& context, std::wstring_view file, std::wstring_view certificate,
                                      bool separateProcess);
[[nodiscard]] bool verify_signed_file(SetupContext& context, ov::trust_provider& provider, std::wstring_view file,
                                      std::wstring_view certificate, bool separateProcess);

// The certificate-key check of a fetched file: find_certificate for the
// file's section, then verify_signed_file when a key is named. False when
// either step fails; the file is then deleted when it lies in the temporary
// folder, so that no later step (nor a resumed run) can take it up.
[[nodiscard]] bool CheckCertificateKey(Session& session, std::wstring_view fileKey, std::wstring_view filePath,
                                       bool separateProcess);

// The entry's "/g" mode: verify_file for the parsed arguments, with no owner
// window. Answers the process exit code.
[[nodiscard]] int RunSignatureCheck(SetupContext& context, const SignatureCheckArgs& args);
[[nodiscard]] int RunSignatureCheck(SetupContext& context, ov::trust_provider& provider,
                                    const SignatureCheckArgs& args);
