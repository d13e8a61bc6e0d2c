// Downloads one URL through CDownload (worker thread, remote file, progress
// figures, temporary file renamed into place) and prints the time the
// transfer took, for scripts/bench-download.sh.
//
//   download_bench.exe <url> <target> [runs]
//
// Prints one line per run: "bytes=<n> seconds=<s> mbps=<MB/s>".
#include "download.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: download_bench <url> <target> [runs]\n");
        return 2;
    }
    const std::wstring url = argv[1];
    const std::wstring target = argv[2];
    const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 1;

    // WinInet is loaded before the clock starts, as curl's libraries are
    // loaded before it runs.
    if (!ov::wininet_loaded()) {
        std::fwprintf(stderr, L"no wininet.dll\n");
        return 1;
    }
    DownloadOptions options;
    options.error_dialog = false;
    LARGE_INTEGER frequency = {};
    ::QueryPerformanceFrequency(&frequency);
    for (int run = 0; run < runs; ++run) {
        ::DeleteFileW(target.c_str());
        LARGE_INTEGER start = {}, end = {};
        ::QueryPerformanceCounter(&start);
        CDownload download(nullptr);
        download.set_options(options);
        const bool ok = download.download(url, target);
        ::QueryPerformanceCounter(&end);
        if (!ok) {
            std::fwprintf(stderr, L"download failed: 0x%08lx\n", static_cast<unsigned long>(download.result()));
            return 1;
        }
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ::GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data);
        const double bytes =
            static_cast<double>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        std::printf("bytes=%.0f seconds=%.4f mbps=%.1f\n", bytes, seconds, bytes / seconds / 1e6);
        std::fflush(stdout);
    }
    return 0;
}
