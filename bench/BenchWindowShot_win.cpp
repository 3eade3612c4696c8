// Takes the picture of the main window on Windows for the README: the native view connected to
// the simulation server, a branch selected, live values in the table. Run under Wine on a
// virtual display (the picture of record):
//
//   xvfb-run -a build/windows/wine-run build/windows/bench/bench_window_shot.exe <file.bmp> [branch path] [seconds]
//
// and make it a PNG with ImageMagick (convert file.bmp file.png).
#include "MainWindow.h"
#include "MessagePump.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "platform/Dispatcher.h"
#include "platform/Text.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool runUntil(const std::function<bool()>& done, double seconds)
{
    return win32::pumpUntil(done, std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
}

form::TreeNode* child(form::TreeNode* node, const std::string& caption)
{
    for (const auto& c : node->children)
        if (c->caption == caption) return c.get();
    return nullptr;
}

// The window as the screen shows it, as a 24-bit BMP file.
bool saveBitmap(HWND window, const std::string& path)
{
    // The client area: without a window manager (a virtual display) there is no frame to show.
    RECT r;
    GetClientRect(window, &r);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), size);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file.bmp> [branch path] [seconds]\n", argv[0]);
        return 2;
    }
    const std::string output = argv[1];
    std::vector<std::string> path;
    {
        std::istringstream parts(argc > 2 ? argv[2] : "Plant/Line1/Motors/M101");
        for (std::string part; std::getline(parts, part, '/');) path.push_back(part);
    }
    const double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;

    platform::Dispatcher::instance().bindMainThread();
    logg::Logger::instance().setConsole(-1);
    Co::Inner com;
    auto window = std::make_unique<win32::MainWindow>(false);
    logg::Logger::instance().setFileName("");
    SetWindowPos(window->window(), nullptr, 40, 40, 940, 520, SWP_NOZORDER);
    window->show();
    // The splitter dragged to give the tree room, as the operator would.
    RECT tree;
    GetWindowRect(window->tree(), &tree);
    MapWindowPoints(nullptr, window->window(), reinterpret_cast<POINT*>(&tree), 2);
    SendMessageW(window->window(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(tree.right + 1, 100));
    SendMessageW(window->window(), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(260, 100));
    SendMessageW(window->window(), WM_LBUTTONUP, 0, MAKELPARAM(260, 100));

    form::MainForm& form = window->form();
    form::TreeNode* local = form.topLevel().front().get();
    form::TreeNode* server = nullptr;
    if (!runUntil([&] { return (server = child(local, "Tagvista.Simulation.1")) != nullptr; }, 30)) {
        std::fprintf(stderr, "the simulation server is not listed\n");
        return 1;
    }
    TreeView_SelectItem(window->tree(), win32::MainWindow::itemOf(server));
    SendMessageW(window->tree(), WM_KEYDOWN, VK_ADD, 0);
    if (!runUntil([&] { return server->connection()->connected(); }, 60)) {
        std::fprintf(stderr, "connect failed: %s\n", server->connection()->lastError().c_str());
        return 1;
    }
    form::TreeNode* node = server;
    for (const std::string& caption : path) {
        node = child(node, caption);
        if (!node) {
            std::fprintf(stderr, "no branch %s\n", caption.c_str());
            return 1;
        }
        TreeView_Expand(window->tree(), win32::MainWindow::itemOf(node), TVE_EXPAND);
    }
    TreeView_SelectItem(window->tree(), win32::MainWindow::itemOf(node));
    runUntil([] { return false; }, seconds);
    SendMessageW(window->tree(), WM_HSCROLL, SB_LEFT, 0);  // the names from their start
    runUntil([] { return false; }, 0.5);

    if (!saveBitmap(window->window(), output)) {
        std::fprintf(stderr, "cannot write %s\n", output.c_str());
        return 1;
    }
    SendMessageW(window->window(), WM_CLOSE, 0, 0);
    runUntil([&] { return !IsWindow(window->window()); }, 30);
    window.reset();
    return 0;
}
