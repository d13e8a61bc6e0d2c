#include "OvMsiHelper.h"

#include "errordialog.h"
#include "exitcodes.h"
#include "ov_exceptions.h"
#include "processstate.h"
#include "resource.h"
#include "setupcontext.h"
#include "setuplog.h"

#include <unknwn.h>

#include <memory>

namespace {

// {B47B5571-6E39-46D9-804A-C897991B4F3F}
constexpr GUID IID_RUdaziInitializationProgress = {
    0xB47B5571, 0x6E39, 0x46D9, {0x80, 0x4A, 0xC8, 0x97, 0x99, 0x1B, 0x4F, 0x3F}};

// The progress interface the engine calls while it initialises.
struct RUdaziInitializationProgress : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE on_init_begin() = 0;
    virtual HRESULT STDMETHODCALLTYPE on_init_progress(LONG percent) = 0;
    virtual HRESULT STDMETHODCALLTYPE on_init_end() = 0;
};

// Single-threaded, reference-counted progress object made for one handoff.
class CScriptInitProgressHandler final : public RUdaziInitializationProgress {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_RUdaziInitializationProgress)) {
            *object = static_cast<RUdaziInitializationProgress*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE on_init_begin() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE on_init_progress(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE on_init_end() override { return Process().Cancelled ? E_ABORT : S_OK; }

private:
    ~CScriptInitProgressHandler() = default;
    ULONG references_ = 1;
};

struct release_com {
    void operator()(IUnknown* p) const noexcept
    {
        if (p)
            p->Release();
    }
};

using RunEngineFn = int(__stdcall*)(BOOL, const wchar_t*, BOOL, const wchar_t*, RUdaziInitializationProgress*, DWORD,
                                    const wchar_t*);
using RunRemovalFn = int(__stdcall*)(const wchar_t*, int, int, const wchar_t*);

} // namespace

void OvMsiHelper::ReportUnusable(DWORD error)
{
    Process().SetupResult = exit_code::engine_library_unusable;
    ErrorDialog(context_).show_error(IDS_ENGINE_LIBRARY_UNUSABLE, path_, ov::system_error_text(error));
}

bool OvMsiHelper::Load(std::wstring_view libraryPath)
{
    path_.assign(libraryPath);
    library_.reset(::LoadLibraryW(path_.c_str()));
    if (!library_) {
        const DWORD error = ov::last_error_or(ERROR_MOD_NOT_FOUND);
        log_message(OV_HERE, L"Failed to load OVSetup.dll");
        ReportUnusable(error);
        return false;
    }
    return true;
}

bool OvMsiHelper::CheckEntryPoint()
{
    if (library_ && ::GetProcAddress(library_.get(), "RunOVMSRUdazi"))
        return true;
    ReportUnusable(library_ ? ov::last_error_or(ERROR_PROC_NOT_FOUND) : ERROR_MOD_NOT_FOUND);
    return false;
}

int OvMsiHelper::RunEngine(bool noSource, std::wstring_view package, std::wstring_view commandLine, unsigned language,
                           std::wstring_view launcherName)
{
    const auto run =
        reinterpret_cast<RunEngineFn>(reinterpret_cast<void*>(::GetProcAddress(library_.get(), "RunOVMSRUdazi")));
    if (!run)
        return Process().SetupResult;
    const std::wstring packageText(package), commandText(commandLine), nameText(launcherName);
    std::unique_ptr<RUdaziInitializationProgress, release_com> progress(new CScriptInitProgressHandler());
    log_message(OV_HERE, L"Launching OrvaneScript engine: %s, %s, %d", packageText, commandText,
                static_cast<int>(language));
    return run(noSource ? TRUE : FALSE, packageText.c_str(), noSource ? TRUE : FALSE, commandText.c_str(),
               progress.get(), language, nameText.c_str());
}

int OvMsiHelper::RunMajorUpgradeRemoval(std::wstring_view first, int second, int third, std::wstring_view fourth)
{
    const auto run = reinterpret_cast<RunRemovalFn>(
        reinterpret_cast<void*>(::GetProcAddress(library_.get(), "RunOVMSIMajorUpgradeRemoval")));
    if (!run)
        return 0;
    const std::wstring a(first), d(fourth);
    return run(a.c_str(), second, third, d.c_str());
}
