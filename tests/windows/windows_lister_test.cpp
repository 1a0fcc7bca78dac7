// The Windows lister as Total Commander loads it: the built matwcx.wlx64
// ($MATWCX_LISTER) in a parent window, its controls read through their
// messages, its window and its thumbnail drawn into bitmaps and checked.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "picture/colour.h"
#include "support/support.h"
#include "wcx/lister_api.h"

namespace {

using namespace matbuild;
const Order o = Order::Little;

struct ListerDll {
    HMODULE module = nullptr;
    HWND(WINAPI* load)(HWND, WCHAR*, int) = nullptr;
    void(WINAPI* close)(HWND) = nullptr;
    int(WINAPI* search)(HWND, WCHAR*, int) = nullptr;
    HBITMAP(WINAPI* preview)(WCHAR*, int, int, char*, int) = nullptr;
    ListerDll() {
        module = ::LoadLibraryA(testenv::Get("MATWCX_LISTER").c_str());
        if (module == nullptr) return;
        load = reinterpret_cast<decltype(load)>(reinterpret_cast<void*>(::GetProcAddress(module, "ListLoadW")));
        close = reinterpret_cast<decltype(close)>(reinterpret_cast<void*>(::GetProcAddress(module, "ListCloseWindow")));
        search = reinterpret_cast<decltype(search)>(reinterpret_cast<void*>(::GetProcAddress(module, "ListSearchTextW")));
        preview = reinterpret_cast<decltype(preview)>(reinterpret_cast<void*>(::GetProcAddress(module, "ListGetPreviewBitmapW")));
    }
};

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The colours of a bitmap's pixels.
std::set<uint32_t> Colours(HBITMAP bitmap) {
    BITMAP facts{};
    ::GetObject(bitmap, sizeof facts, &facts);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = facts.bmWidth;
    info.bmiHeader.biHeight = -facts.bmHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<uint32_t> pixels(static_cast<size_t>(facts.bmWidth) * static_cast<size_t>(facts.bmHeight));
    const HDC dc = ::GetDC(nullptr);
    ::GetDIBits(dc, bitmap, 0, static_cast<UINT>(facts.bmHeight), pixels.data(), &info, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, dc);
    std::set<uint32_t> colours;
    for (uint32_t pixel : pixels) colours.insert(pixel & 0xFFFFFF);
    return colours;
}

std::wstring ItemText(HWND list, int item, int column) {
    wchar_t text[128] = {};
    LVITEMW request{};
    request.iSubItem = column;
    request.pszText = text;
    request.cchTextMax = 128;
    ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&request));
    return text;
}

uint32_t Bgr(picture::Rgb c) { return (uint32_t{c.r} << 16) | (uint32_t{c.g} << 8) | c.b; }

class WindowsLister : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lister.load, nullptr) << testenv::Get("MATWCX_LISTER");
        std::vector<double> ramp(40 * 30);
        for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<double>(i);
        const Bytes file = File5(o, {NumericVar(o, "ramp", mxDOUBLE, {40, 30}, ramp),
                                     StructVar(o, "settings", {1, 1}, {"threshold"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {7})})});
        path = support::Path(dir.path(), "ramp.mat");
        support::WriteText(path, std::string(file.begin(), file.end()));
        parent = ::CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 900, 600, nullptr, nullptr,
                                   nullptr, nullptr);
        ASSERT_NE(parent, nullptr);
    }
    void TearDown() override {
        if (parent != nullptr) ::DestroyWindow(parent);
    }

    ListerDll lister;
    testenv::TempDir dir;
    std::string path;
    HWND parent = nullptr;
};

TEST_F(WindowsLister, ShowsTheWhosTableAndTheImageAndFindsText) {
    std::wstring file = Wide(path);
    const HWND window = lister.load(parent, reinterpret_cast<WCHAR*>(file.data()), 0);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(::GetParent(window), parent);
    const HWND whos = ::FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr);
    ASSERT_NE(whos, nullptr);
    ASSERT_EQ(ListView_GetItemCount(whos), 2);
    EXPECT_EQ(ItemText(whos, 0, 0), L"ramp");
    EXPECT_EQ(ItemText(whos, 0, 1), L"40x30");
    EXPECT_EQ(ListView_GetNextItem(whos, -1, LVNI_SELECTED), 0);   // the matrix: what can be drawn

    // The image is computed on a thread of its own: until the window says it
    // is done (a bound against a hang, not a timing).
    for (int i = 0; i < 6000 && ::GetPropW(window, L"MatwcxBusy") != nullptr; ++i) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
        ::Sleep(10);
    }
    ASSERT_EQ(::GetPropW(window, L"MatwcxBusy"), nullptr);
    // The view as drawn: the image's and the colour bar's ends.
    const HWND view = ::FindWindowExW(window, nullptr, L"MatwcxListerView", nullptr);
    ASSERT_NE(view, nullptr);
    RECT client;
    ::GetClientRect(view, &client);
    ::RedrawWindow(view, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const HDC viewDc = ::GetDC(view);
    const HDC dc = ::CreateCompatibleDC(viewDc);
    const HBITMAP shot = ::CreateCompatibleBitmap(viewDc, client.right, client.bottom);
    const HGDIOBJ old = ::SelectObject(dc, shot);
    ::BitBlt(dc, 0, 0, client.right, client.bottom, viewDc, 0, 0, SRCCOPY);
    ::SelectObject(dc, old);
    ::DeleteDC(dc);
    ::ReleaseDC(view, viewDc);
    const std::set<uint32_t> colours = Colours(shot);
    ::DeleteObject(shot);
    EXPECT_TRUE(colours.count(Bgr(picture::kViridis.front())));
    EXPECT_TRUE(colours.count(Bgr(picture::kViridis.back())));

    std::wstring wanted = L"threshold", missing = L"nowhere";
    ListView_SetItemState(whos, 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    EXPECT_EQ(lister.search(window, reinterpret_cast<WCHAR*>(wanted.data()), lcs_findfirst), LISTPLUGIN_OK);
    EXPECT_EQ(lister.search(window, reinterpret_cast<WCHAR*>(missing.data()), lcs_findfirst), LISTPLUGIN_ERROR);
    lister.close(window);
    EXPECT_FALSE(::IsWindow(window));
}

TEST_F(WindowsLister, ThumbnailIsThePictureOfTheMatrix) {
    std::wstring file = Wide(path);
    const HBITMAP bitmap = lister.preview(reinterpret_cast<WCHAR*>(file.data()), 120, 90, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);
    BITMAP facts{};
    ::GetObject(bitmap, sizeof facts, &facts);
    EXPECT_EQ(facts.bmWidth, 120);
    EXPECT_EQ(facts.bmHeight, 90);
    const std::set<uint32_t> colours = Colours(bitmap);
    EXPECT_TRUE(colours.count(Bgr(picture::kViridis.front())));
    ::DeleteObject(bitmap);
    std::wstring missing = Wide(support::Path(dir.path(), "none.mat"));
    EXPECT_EQ(lister.preview(reinterpret_cast<WCHAR*>(missing.data()), 120, 90, nullptr, 0), nullptr);
}

}  // namespace
