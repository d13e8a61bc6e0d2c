// Progress of a long payload operation. The session implements it and shows
// it in the setup dialog.
#pragma once

#include <string_view>

class IStreamProgress {
public:
    // Called while data is copied or inflated; true asks to stop.
    virtual bool OnProgress(unsigned long long done, unsigned long long total) = 0;
    // kind 0: extracting the named file; kind 1: decompressing it.
    virtual void OnStatus(int kind, std::wstring_view name) {}

protected:
    ~IStreamProgress() = default;
};
