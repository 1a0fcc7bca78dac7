// The lister's window on Windows (Total Commander, Double Commander's Win32
// build): plain Win32 controls, as the About dialog is drawn. The whos table
// and the grid are list views (the grid asks for the cells in sight only),
// the text an edit control, the plot and the image a window that paints with
// GDI what lister/ computes. Keys the lister does not use are posted to the
// host's lister window, as Total Commander asks of its plug-ins.
#if defined(_WIN32)

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "lister/grid_cells.h"
#include "lister/plot_data.h"
#include "lister/win32/paint.h"
#include "lister/window.h"
#include "os/text_encoding.h"
#include "picture/whos.h"
#include "wcx/lister_api.h"

namespace lister {
namespace {

constexpr wchar_t kWindowClass[] = L"MatwcxLister";
constexpr wchar_t kViewClass[] = L"MatwcxListerView";
constexpr UINT_PTR kKeysSubclass = 1;
// A list view of thousands of columns is slow to make: the grid shows the first ones.
constexpr uint64_t kMaxGridColumns = 1000;
enum : int { kWhosId = 1, kGridId = 2, kTextId = 3, kViewId = 4 };
// A pass has news for the window (the pass keeps it in the state: a message
// that never arrives, the window gone, loses nothing).
constexpr UINT kPassNews = WM_APP + 1;
// Set on the lister's window while a pass runs (a test waits for its end).
constexpr wchar_t kBusyProperty[] = L"MatwcxBusy";

HINSTANCE ModuleInstance() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
    return module;
}

struct State {
    HWND window = nullptr, whos = nullptr, grid = nullptr, text = nullptr, view = nullptr;
    HFONT font = nullptr, fixedFont = nullptr;
    std::unique_ptr<Document> document;
    std::vector<size_t> order;   // table row -> the document's row
    int sortColumn = 0;
    bool ascending = true;
    size_t row = 0;
    bool rowShown = false;
    std::vector<View> views;
    size_t viewIndex = 0;
    std::unique_ptr<GridCells> cells;
    PlotData plot;
    ImageData image;
    bool textShown = false;
    std::wstring title;
    std::wstring cellText;   // the last cell handed to the grid: it must outlive the notification
    // The plot or image is computed on a thread of its own, over a handle
    // of its own, and shown as it grows.
    std::thread pass;
    std::atomic<bool> stop{false};
    uint64_t generation = 0;   // of the picture in view
    struct News {
        uint64_t generation;
        bool done;
        PlotData plot;
        ImageData image;
    };
    std::mutex newsLock;
    std::optional<News> news;   // the latest, taken by the window's thread
};

void StopPass(State& state) {
    state.stop = true;
    if (state.pass.joinable()) state.pass.join();
    state.stop = false;
    ::RemovePropW(state.window, kBusyProperty);
}

void StartPass(State& state, View view) {
    StopPass(state);
    const uint64_t generation = ++state.generation;
    ::SetPropW(state.window, kBusyProperty, reinterpret_cast<HANDLE>(1));
    state.pass = std::thread([&state, place = PlaceOf(*state.document, state.row), view, generation] {
        const auto tell = [&state, generation](bool done, PlotData plot, ImageData image) {
            {
                const std::lock_guard<std::mutex> lock(state.newsLock);
                state.news = State::News{generation, done, std::move(plot), std::move(image)};
            }
            ::PostMessageW(state.window, kPassNews, 0, 0);
        };
        std::unique_ptr<Document> own = Reopen(place);
        if (!own) return tell(true, PlotData(), ImageData());
        if (view == View::Plot) {
            PlotData plot = ComputePlot(*own, place.row, kPlotColumns, [&](const PlotData& partial) {
                tell(false, partial, ImageData());
                return !state.stop;
            });
            if (!state.stop) tell(true, std::move(plot), ImageData());
        } else {
            ImageData image = ComputeImage(*own, place.row, view == View::Picture, kImageSide, [&](const ImageData& partial) {
                tell(false, PlotData(), partial);
                return !state.stop;
            });
            if (!state.stop) tell(true, PlotData(), std::move(image));
        }
    });
}

void TakeNews(State& state) {
    std::optional<State::News> news;
    {
        const std::lock_guard<std::mutex> lock(state.newsLock);
        news.swap(state.news);
    }
    if (!news || news->generation != state.generation) return;
    state.plot = std::move(news->plot);
    state.image = std::move(news->image);
    if (news->done) ::RemovePropW(state.window, kBusyProperty);
    ::InvalidateRect(state.view, nullptr, FALSE);
}

State* StateOf(HWND window) { return reinterpret_cast<State*>(::GetWindowLongPtrW(window, GWLP_USERDATA)); }

void Layout(State& state) {
    RECT client;
    ::GetClientRect(state.window, &client);
    const int width = client.right, height = client.bottom;
    const int left = std::max(160, width * 3 / 10), titleHeight = 22;
    ::MoveWindow(state.whos, 0, 0, left, height, TRUE);
    for (HWND view : {state.grid, state.text, state.view}) {
        ::MoveWindow(view, left + 2, titleHeight, std::max(0, width - left - 2), std::max(0, height - titleHeight), TRUE);
    }
    ::InvalidateRect(state.window, nullptr, TRUE);
}

void FillWhos(State& state) {
    std::vector<picture::WhosRow> rows;
    const auto& variables = state.document->Rows();
    for (size_t i = 0; i < variables.size(); ++i) rows.push_back(variables[i].Whos(i));
    picture::SortWhos(rows, static_cast<picture::WhosColumn>(state.sortColumn), state.ascending);
    ::SendMessageW(state.whos, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(state.whos);
    state.order.clear();
    for (size_t i = 0; i < rows.size() && i < INT32_MAX; ++i) {
        const picture::WhosRow& row = rows[i];
        state.order.push_back(static_cast<size_t>(row.place));
        const std::wstring texts[] = {Wide(row.name), Wide(picture::SizeText(row.dimensions)), Wide(std::to_string(row.bytes)),
                                      Wide(row.className), Wide(row.attributes)};
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<wchar_t*>(texts[0].c_str());
        ::SendMessageW(state.whos, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        for (int column = 1; column < 5; ++column) {
            LVITEMW sub{};
            sub.iSubItem = column;
            sub.pszText = const_cast<wchar_t*>(texts[column].c_str());
            ::SendMessageW(state.whos, LVM_SETITEMTEXTW, i, reinterpret_cast<LPARAM>(&sub));
        }
    }
    ::SendMessageW(state.whos, WM_SETREDRAW, TRUE, 0);
}

int TableRowOf(const State& state, size_t documentRow) {
    for (size_t i = 0; i < state.order.size(); ++i) {
        if (state.order[i] == documentRow) return static_cast<int>(i);
    }
    return -1;
}

void SelectTableRow(State& state, int row) {
    if (row < 0) return;
    ListView_SetItemState(state.whos, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(state.whos, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(state.whos, row, FALSE);
}

void ShowCurrentView(State& state) {
    if (!state.document || state.views.empty()) return;
    const View view = state.views[state.viewIndex];
    const VariableRow& row = state.document->Rows()[state.row];
    state.title = Wide(ViewTitle(row, state.views, state.viewIndex));
    const HWND focused = ::GetFocus();
    const bool focusInView = focused == state.grid || focused == state.text || focused == state.view;
    HWND shown = state.view;
    switch (view) {
        case View::Plot:
        case View::Image:
        case View::Picture:
            state.plot = PlotData();
            state.image = ImageData();
            StartPass(state, view);
            break;
        case View::Grid: shown = state.grid; break;
        case View::Text:
            if (!state.textShown) {
                std::wstring text = Wide(state.document->Text(state.row));
                std::wstring lines;
                for (wchar_t c : text) {
                    if (c == L'\n') lines += L'\r';
                    lines += c;
                }
                ::SetWindowTextW(state.text, lines.c_str());
                state.textShown = true;
            }
            shown = state.text;
            break;
    }
    for (HWND child : {state.grid, state.text, state.view}) ::ShowWindow(child, child == shown ? SW_SHOW : SW_HIDE);
    ::InvalidateRect(state.view, nullptr, TRUE);
    ::InvalidateRect(state.window, nullptr, TRUE);
    if (focusInView) ::SetFocus(shown);
}

void FillGrid(State& state) {
    ::SendMessageW(state.grid, WM_SETREDRAW, FALSE, 0);
    while (ListView_DeleteColumn(state.grid, 0)) {
    }
    const uint64_t columns = std::min(state.cells->Columns(), kMaxGridColumns);
    for (uint64_t j = 0; j <= columns; ++j) {
        std::wstring heading = j == 0 ? std::wstring() : std::to_wstring(j);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.fmt = j == 0 ? LVCFMT_LEFT : LVCFMT_RIGHT;
        column.cx = j == 0 ? 60 : 90;
        column.pszText = heading.data();
        ::SendMessageW(state.grid, LVM_INSERTCOLUMNW, static_cast<WPARAM>(j), reinterpret_cast<LPARAM>(&column));
    }
    ListView_SetItemCountEx(state.grid, static_cast<int>(std::min<uint64_t>(state.cells->Rows(), 100000000)), LVSICF_NOINVALIDATEALL);
    ::SendMessageW(state.grid, WM_SETREDRAW, TRUE, 0);
}

void ShowSelected(State& state) {
    const int tableRow = ListView_GetNextItem(state.whos, -1, LVNI_SELECTED);
    if (!state.document || tableRow < 0 || static_cast<size_t>(tableRow) >= state.order.size()) return;
    const size_t row = state.order[static_cast<size_t>(tableRow)];
    if (state.rowShown && row == state.row) return;
    state.row = row;
    state.rowShown = true;
    state.views = ViewsOf(state.document->Rows()[row]);
    state.viewIndex = 0;
    state.plot = PlotData();
    state.image = ImageData();
    state.textShown = false;
    state.cells = std::make_unique<GridCells>(state.document.get(), row);
    FillGrid(state);
    ShowCurrentView(state);
}

void Show(State& state, std::unique_ptr<Document> document) {
    StopPass(state);
    state.cells.reset();
    state.rowShown = false;
    state.views.clear();
    state.document = std::move(document);
    FillWhos(state);
    if (!state.order.empty()) SelectTableRow(state, TableRowOf(state, PreferredVariable(*state.document, state.order)));
    ShowSelected(state);
    ::SetFocus(state.whos);
}

void NextView(State& state, int step) {
    if (state.views.empty()) return;
    const size_t count = state.views.size();
    state.viewIndex = (state.viewIndex + (step < 0 ? count - 1 : 1)) % count;
    ShowCurrentView(state);
}

void CopyToClipboard(HWND owner, const std::wstring& text) {
    if (text.empty() || !::OpenClipboard(owner)) return;
    ::EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* at = ::GlobalLock(memory)) {
            std::memcpy(at, text.c_str(), bytes);
            ::GlobalUnlock(memory);
            if (::SetClipboardData(CF_UNICODETEXT, memory) == nullptr) ::GlobalFree(memory);
        } else {
            ::GlobalFree(memory);
        }
    }
    ::CloseClipboard();
}

void Copy(State& state) {
    const HWND focused = ::GetFocus();
    if (focused == state.grid && state.cells) {
        // The selected rows, tab between columns: ready for a spreadsheet.
        std::wstring text;
        const uint64_t columns = std::min(state.cells->Columns(), kMaxGridColumns);
        int count = 0;
        for (int row = ListView_GetNextItem(state.grid, -1, LVNI_SELECTED); row >= 0 && count < 100000;
             row = ListView_GetNextItem(state.grid, row, LVNI_SELECTED), ++count) {
            for (uint64_t j = 0; j < columns; ++j) {
                if (j > 0) text += L'\t';
                text += Wide(state.cells->Text(static_cast<uint64_t>(row), j));
            }
            text += L"\r\n";
        }
        CopyToClipboard(state.window, text);
        return;
    }
    if (focused == state.text) {
        DWORD start = 0, end = 0;
        ::SendMessageW(state.text, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        if (end > start) {
            ::SendMessageW(state.text, WM_COPY, 0, 0);
            return;
        }
    }
    if (state.document && state.rowShown) CopyToClipboard(state.window, Wide(state.document->Text(state.row)));
}

bool OwnKey(WPARAM key) {
    switch (key) {
        case VK_UP: case VK_DOWN: case VK_LEFT: case VK_RIGHT: case VK_PRIOR: case VK_NEXT: case VK_HOME: case VK_END:
        case VK_SHIFT: case VK_CONTROL: case VK_TAB:
            return true;
        default:
            return (key == 'C' || key == 'A') && (::GetKeyState(VK_CONTROL) & 0x8000) != 0;
    }
}

LRESULT CALLBACK KeysProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data) {
    State& state = *reinterpret_cast<State*>(data);
    if (message == WM_GETDLGCODE) return DLGC_WANTALLKEYS;
    if (message == WM_KEYDOWN) {
        if (wParam == VK_TAB) {
            NextView(state, (::GetKeyState(VK_SHIFT) & 0x8000) != 0 ? -1 : 1);
            return 0;
        }
        if (wParam == 'C' && (::GetKeyState(VK_CONTROL) & 0x8000) != 0) {
            Copy(state);
            return 0;
        }
        if (wParam == 'A' && (::GetKeyState(VK_CONTROL) & 0x8000) != 0) {
            if (control == state.text) ::SendMessageW(state.text, EM_SETSEL, 0, -1);
            if (control == state.grid) {
                ListView_SetItemState(state.grid, -1, LVIS_SELECTED, LVIS_SELECTED);
            }
            return 0;
        }
        if (control == state.view && (wParam == VK_UP || wParam == VK_DOWN)) {
            const int row = ListView_GetNextItem(state.whos, -1, LVNI_SELECTED) + (wParam == VK_UP ? -1 : 1);
            if (row >= 0 && static_cast<size_t>(row) < state.order.size()) SelectTableRow(state, row);
            return 0;
        }
        if (!OwnKey(wParam)) {
            ::PostMessageW(::GetParent(state.window), message, wParam, lParam);
            return 0;
        }
    }
    if (message == WM_CHAR && (wParam == '\t' || (!OwnKey(wParam) && control != state.text))) return 0;
    if (message == WM_LBUTTONDOWN && control == state.view) ::SetFocus(state.view);
    if (message == WM_NCDESTROY) ::RemoveWindowSubclass(control, KeysProc, kKeysSubclass);
    return ::DefSubclassProc(control, message, wParam, lParam);
}

LRESULT CALLBACK ViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ERASEBKGND) return 1;   // painted whole, double-buffered
    if (message != WM_PAINT) return ::DefWindowProcW(view, message, wParam, lParam);
    PAINTSTRUCT paint;
    const HDC dc = ::BeginPaint(view, &paint);
    RECT client;
    ::GetClientRect(view, &client);
    const HDC memory = ::CreateCompatibleDC(dc);
    const HBITMAP bitmap = ::CreateCompatibleBitmap(dc, std::max<LONG>(1, client.right), std::max<LONG>(1, client.bottom));
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    State* state = StateOf(::GetParent(view));
    if (state != nullptr && state->document && !state->views.empty()) {
        const View shown = state->views[state->viewIndex];
        const std::string& name = state->document->Rows()[state->row].name;
        ::SelectObject(memory, state->font);
        if (shown == View::Plot) PaintPlot(memory, client, state->plot, name);
        else PaintImage(memory, client, state->image, name, shown == View::Picture);
    } else {
        ::FillRect(memory, &client, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    }
    ::BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::EndPaint(view, &paint);
    return 0;
}

HWND Child(State& state, const wchar_t* className, DWORD style, int id) {
    const HWND child = ::CreateWindowExW(0, className, L"", WS_CHILD | style, 0, 0, 10, 10, state.window,
                                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance(), nullptr);
    if (child != nullptr) {
        ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(state.font), FALSE);
        ::SetWindowSubclass(child, KeysProc, kKeysSubclass, reinterpret_cast<DWORD_PTR>(&state));
    }
    return child;
}

bool MakeChildren(State& state) {
    state.font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    state.fixedFont = ::CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, L"Consolas");
    state.whos = Child(state, WC_LISTVIEWW, WS_VISIBLE | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, kWhosId);
    state.grid = Child(state, WC_LISTVIEWW, WS_BORDER | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, kGridId);
    state.text = Child(state, L"EDIT", WS_BORDER | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                       kTextId);
    state.view = Child(state, kViewClass, WS_VISIBLE, kViewId);
    if (state.whos == nullptr || state.grid == nullptr || state.text == nullptr || state.view == nullptr) return false;
    if (state.fixedFont != nullptr) ::SendMessageW(state.text, WM_SETFONT, reinterpret_cast<WPARAM>(state.fixedFont), FALSE);
    ::SendMessageW(state.text, EM_SETLIMITTEXT, 0, 0);   // the viewer's text runs to megabytes
    ListView_SetExtendedListViewStyle(state.whos, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    ListView_SetExtendedListViewStyle(state.grid, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    const wchar_t* headings[] = {L"Name", L"Size", L"Bytes", L"Class", L"Attributes"};
    const int widths[] = {110, 80, 80, 70, 80};
    for (int i = 0; i < 5; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.fmt = i == 2 ? LVCFMT_RIGHT : LVCFMT_LEFT;
        column.cx = widths[i];
        column.pszText = const_cast<wchar_t*>(headings[i]);
        ::SendMessageW(state.whos, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
    return true;
}

LRESULT OnNotify(State& state, const NMHDR& header) {
    if (header.hwndFrom == state.whos && header.code == LVN_ITEMCHANGED) {
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        if ((change.uNewState & LVIS_SELECTED) != 0) ShowSelected(state);
    } else if (header.hwndFrom == state.whos && header.code == LVN_COLUMNCLICK) {
        const int column = reinterpret_cast<const NMLISTVIEW&>(header).iSubItem;
        state.ascending = column == state.sortColumn ? !state.ascending : true;
        state.sortColumn = column;
        const size_t shown = state.row;
        const bool any = state.rowShown;
        FillWhos(state);
        if (any) SelectTableRow(state, TableRowOf(state, shown));
    } else if (header.hwndFrom == state.grid && header.code == LVN_GETDISPINFOW && state.cells) {
        auto& info = const_cast<NMLVDISPINFOW&>(reinterpret_cast<const NMLVDISPINFOW&>(header));
        if ((info.item.mask & LVIF_TEXT) == 0 || info.item.iItem < 0) return 0;
        const auto row = static_cast<uint64_t>(info.item.iItem);
        state.cellText = info.item.iSubItem == 0 ? std::to_wstring(row + 1)
                                                 : Wide(state.cells->Text(row, static_cast<uint64_t>(info.item.iSubItem - 1)));
        if (info.item.cchTextMax > 0) {
            const size_t room = static_cast<size_t>(info.item.cchTextMax) - 1;
            const size_t length = std::min(room, state.cellText.size());
            std::copy_n(state.cellText.c_str(), length, info.item.pszText);
            info.item.pszText[length] = L'\0';
        }
    }
    return 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    State* state = StateOf(window);
    switch (message) {
        case WM_NCCREATE:
            ::SetWindowLongPtrW(window, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
            break;
        case WM_SIZE:
            if (state != nullptr && state->whos != nullptr) Layout(*state);
            return 0;
        case WM_NOTIFY:
            if (state != nullptr) return OnNotify(*state, *reinterpret_cast<NMHDR*>(lParam));
            return 0;
        case WM_SETFOCUS:
            if (state != nullptr && state->whos != nullptr) ::SetFocus(state->whos);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            const HDC dc = ::BeginPaint(window, &paint);
            if (state != nullptr) {
                RECT client, line;
                ::GetClientRect(window, &client);
                RECT whos;
                ::GetWindowRect(state->whos, &whos);
                line = {whos.right - whos.left + 6, 0, client.right, 22};
                ::FillRect(dc, &line, ::GetSysColorBrush(COLOR_BTNFACE));
                ::SelectObject(dc, state->font);
                ::SetBkMode(dc, TRANSPARENT);
                ::DrawTextW(dc, state->title.c_str(), static_cast<int>(state->title.size()), &line,
                            DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            }
            ::EndPaint(window, &paint);
            return 0;
        }
        case kPassNews:
            if (state != nullptr) TakeNews(*state);
            return 0;
        case WM_NCDESTROY:
            if (state != nullptr) {
                StopPass(*state);
                if (state->fixedFont != nullptr) ::DeleteObject(state->fixedFont);
                ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
                delete state;
            }
            break;
        default: break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterClasses() {
    static const bool registered = [] {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
        ::InitCommonControlsEx(&controls);
        WNDCLASSEXW window{};
        window.cbSize = sizeof window;
        window.lpfnWndProc = WindowProc;
        window.hInstance = ModuleInstance();
        window.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
        window.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
        window.lpszClassName = kWindowClass;
        WNDCLASSEXW view = window;
        view.lpfnWndProc = ViewProc;
        view.hbrBackground = nullptr;
        view.lpszClassName = kViewClass;
        const bool ok = ::RegisterClassExW(&window) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        return ok && (::RegisterClassExW(&view) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS);
    }();
    return registered;
}

State* AsState(void* window) { return StateOf(static_cast<HWND>(window)); }

// Whole-word and case rules of the host's search, over the text's UTF-16.
bool Matches(const std::wstring& text, size_t at, const std::wstring& wanted, int flags) {
    for (size_t i = 0; i < wanted.size(); ++i) {
        wchar_t a = text[at + i], b = wanted[i];
        if ((flags & lcs_matchcase) == 0) {
            a = static_cast<wchar_t>(std::towlower(a));
            b = static_cast<wchar_t>(std::towlower(b));
        }
        if (a != b) return false;
    }
    if ((flags & lcs_wholewords) == 0) return true;
    const auto word = [](wchar_t c) { return ::IsCharAlphaNumericW(c) || c == L'_'; };
    return (at == 0 || !word(text[at - 1])) && (at + wanted.size() >= text.size() || !word(text[at + wanted.size()]));
}

}  // namespace

void* CreateListerWindow(void* parent, std::unique_ptr<Document> document, int) {
    if (parent == nullptr || !RegisterClasses()) return nullptr;
    auto* state = new State;
    RECT client;
    ::GetClientRect(static_cast<HWND>(parent), &client);
    state->window = ::CreateWindowExW(0, kWindowClass, L"matwcx", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, client.right,
                                      client.bottom, static_cast<HWND>(parent), nullptr, ModuleInstance(), state);
    if (state->window == nullptr) {
        delete state;
        return nullptr;
    }
    if (!MakeChildren(*state)) {
        ::DestroyWindow(state->window);   // frees the state
        return nullptr;
    }
    Layout(*state);
    Show(*state, std::move(document));
    return state->window;
}

void ShowInWindow(void* window, std::unique_ptr<Document> document, int) {
    if (State* state = AsState(window)) Show(*state, std::move(document));
}

void DestroyListerWindow(void* window) { ::DestroyWindow(static_cast<HWND>(window)); }

bool FindInWindow(void* window, const std::string& text, int flags) {
    State* state = AsState(window);
    if (state == nullptr || !state->document || text.empty()) return false;
    const auto at = std::find(state->views.begin(), state->views.end(), View::Text);
    if (at == state->views.end()) return false;
    state->viewIndex = static_cast<size_t>(at - state->views.begin());
    ShowCurrentView(*state);
    const int length = ::GetWindowTextLengthW(state->text);
    std::wstring shown(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(state->text, shown.data(), length + 1);
    shown.resize(static_cast<size_t>(length));
    const std::wstring wanted = Wide(text);
    if (wanted.empty() || wanted.size() > shown.size()) return false;
    DWORD start = 0, end = 0;
    ::SendMessageW(state->text, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    const bool backwards = (flags & lcs_backwards) != 0;
    const size_t last = shown.size() - wanted.size();
    size_t from = (flags & lcs_findfirst) != 0 ? (backwards ? last : 0) : (backwards ? (start == 0 ? SIZE_MAX : start - 1) : end);
    if (backwards && from != SIZE_MAX) from = std::min(from, last);
    for (size_t i = from; i <= last; backwards ? --i : ++i) {
        if (Matches(shown, i, wanted, flags)) {
            ::SendMessageW(state->text, EM_SETSEL, i, i + wanted.size());
            ::SendMessageW(state->text, EM_SCROLLCARET, 0, 0);
            return true;
        }
        if (backwards && i == 0) break;
    }
    return false;
}

bool CommandWindow(void* window, int command, int) {
    State* state = AsState(window);
    if (state == nullptr) return false;
    switch (command) {
        case lc_copy: Copy(*state); return true;
        case lc_selectall:
            if (::GetFocus() == state->grid) {
                ListView_SetItemState(state->grid, -1, LVIS_SELECTED, LVIS_SELECTED);
            } else {
                ::SendMessageW(state->text, EM_SETSEL, 0, -1);
            }
            return true;
        case lc_newparams: return true;
        default: return false;
    }
}

}  // namespace lister

#endif  // _WIN32
