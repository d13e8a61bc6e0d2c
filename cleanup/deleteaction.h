// The deleter: removes what the launcher left in its temporary folder.
//
// Every file or folder the launcher creates in the temporary folder is
// registered at once in the control file "_OVMSIDEL.INI" there (a profilefilex
// file: section "Files" maps a name to a full path, "Folders" likewise). At
// the very end RunDeleter works through that list once a second from a hidden
// window's timer, retrying what is still in use for ten passes, then removes
// the control file and the temporary folder. Failures are silent: the
// deleter neither logs nor shows anything and never changes the result.
//
// Removing the launcher itself. When the launcher runs from inside the
// temporary folder (after a relaunch), its own file cannot be deleted while
// it runs. remove_self_after_exit starts a helper that waits for the launcher
// process to end and then deletes the executable and its folder (ten
// attempts each, one second apart). The helper is a copy of the launcher's
// program image (its headers and sections, without the payload appended
// behind them) written to the user's temporary folder and run with an
// explicit command line. It inherits exactly two handles: a handle to the
// launcher process, which it waits on, and a handle to its own file opened
// with FILE_FLAG_DELETE_ON_CLOSE, so that the system deletes the copy when
// the helper ends and nothing stays behind. The helper also checks that the
// process it waits for really runs from the executable it is asked to
// delete, so a hand-made command line cannot delete other files.
// We chose this over the classic way (writing a routine into a suspended
// system process and redirecting its first thread) because it needs no
// hand-assembled code and no knowledge of another process's layout, and it
// behaves the same on Windows and under Wine.
// The helper runs the launcher's own entry: the entry must hand its command
// line to RunRemovalHelper before doing anything else.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

class DeleteAction {
public:
    static constexpr wchar_t kControlFileName[] = L"_OVMSIDEL.INI";
    static constexpr wchar_t kFilesSection[] = L"Files";
    static constexpr wchar_t kFoldersSection[] = L"Folders";
    static constexpr wchar_t kWindowName[] = L"OrvaneMSIDelete10"; // class, title and icon resource
    static constexpr UINT_PTR kTimerId = 1500;
    static constexpr UINT kTimerPeriodMs = 1000;
    // Passes before the deleter gives up on files still in use.
    static constexpr std::int32_t kMaxAttempts = 10;
    // First argument of the helper's command line.
    static constexpr wchar_t kRemovalHelperOption[] = L"/ovremoveafterexit";

    DeleteAction() noexcept = default;
    virtual ~DeleteAction() = default;
    DeleteAction(const DeleteAction&) = delete;
    DeleteAction& operator=(const DeleteAction&) = delete;

    // Registers a file under its name (the text after the last backslash);
    // a later file of the same name replaces the entry. False when there is
    // no temporary folder or the control file cannot be read or written.
    [[nodiscard]] static bool AddFile(const std::wstring& path) noexcept;
    // The same under a name the caller chooses.
    [[nodiscard]] static bool AddNamedFile(const std::wstring& path, const std::wstring& key) noexcept;
    // Registers a folder under its last path component; it is removed once empty.
    [[nodiscard]] static bool AddFolder(const std::wstring& path) noexcept;

    // Runs the passes from a hidden window's one-second timer until the
    // deleter is done. False when the window class or window cannot be
    // created; the passes then run all the same, from a plain loop.
    [[nodiscard]] bool RunDeleter(HINSTANCE instance) noexcept;
    // One pass over the control file; true when the deleter is finished.
    [[nodiscard]] bool DeleteStep() noexcept;
    // Starts the helper that deletes the launcher's executable (and, with
    // `remove_folder`, its folder once empty) after the launcher has ended.
    static void remove_self_after_exit(bool remove_folder) noexcept;

    // For the entry: when `command_line` is the helper's, does the helper's
    // work and answers its exit code; otherwise answers nothing at once.
    [[nodiscard]] static std::optional<int> RunRemovalHelper(const wchar_t* command_line) noexcept;

    [[nodiscard]] std::int32_t Attempts() const noexcept { return attempts_; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;
    void OnTimer(HWND window) noexcept;
    void RunPassesWithoutWindow() noexcept;

    HINSTANCE instance_ = nullptr;
    std::int32_t attempts_ = 0;
    HWND window_ = nullptr; // owned by RunDeleter's scope; cleared when destroyed
    bool loop_running_ = false;
    bool quit_posted_ = false;
    bool finished_ = false;
};
