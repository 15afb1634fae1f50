// The session window on Win32 and GDI. The window procedure only translates messages for
// the platform-free window logic; painting stretches the framebuffer with StretchDIBits.
#include <windows.h>
#include <windowsx.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "window/input_forwarding.h"
#include "window/picture_layout.h"
#include "window/session_title.h"
#include "window/session_window.h"
#include "window/shown_picture.h"
#include "window/window_host.h"

namespace stv {
namespace {

constexpr wchar_t kClassName[] = L"StvSupporterWindow";
constexpr int kInitialWidth = 1280;  // outer size, in physical pixels
constexpr int kInitialHeight = 800;
constexpr UINT_PTR kTickTimerId = 1;
constexpr UINT kTickMilliseconds = 1000;

std::string Failed(const char* call) {
  return std::string(call) + " failed (error " + std::to_string(GetLastError()) + ")";
}

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

// Per-monitor DPI arrived with Windows 10: its calls are looked up when needed, so that the
// program still starts where user32 lacks them and the viewport is then taken at 96 DPI.
template <typename Function>
Function User32Function(const char* name) {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  const FARPROC found = user32 ? GetProcAddress(user32, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

void BecomePerMonitorDpiAware() {
  using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  static const auto set = User32Function<SetContext>("SetProcessDpiAwarenessContext");
  if (set) set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

int WindowDpi(HWND window) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto get = User32Function<GetDpi>("GetDpiForWindow");
  return get ? static_cast<int>(get(window)) : 0;
}

// --- Owned handles ---

struct GdiObjectDeleter {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using UniqueBrush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, GdiObjectDeleter>;

// BeginPaint's device context, released by EndPaint, which also validates the window.
class PaintScope {
 public:
  explicit PaintScope(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  ~PaintScope() { EndPaint(window_, &paint_); }
  HDC Dc() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

class WindowClass {
 public:
  WindowClass() = default;
  WindowClass(const WindowClass&) = delete;
  WindowClass& operator=(const WindowClass&) = delete;
  ~WindowClass() {
    if (registered_) UnregisterClassW(kClassName, instance_);
  }

  bool Register(HINSTANCE instance, WNDPROC procedure, std::string& error) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    registered_ = RegisterClassExW(&windowClass) != 0;
    if (!registered_) error = Failed("RegisterClassExW");
    instance_ = instance;
    return registered_;
  }

 private:
  HINSTANCE instance_ = nullptr;
  bool registered_ = false;
};

// The window with its state attached. The close button destroys it before its owner does.
class OwnedWindow {
 public:
  OwnedWindow() = default;
  OwnedWindow(const OwnedWindow&) = delete;
  OwnedWindow& operator=(const OwnedWindow&) = delete;
  ~OwnedWindow() {
    if (!handle_ || !IsWindow(handle_)) return;
    // Detached first: a session that is over sends nothing more and posts no quit message.
    SetWindowLongPtrW(handle_, GWLP_USERDATA, 0);
    DestroyWindow(handle_);
  }
  void Reset(HWND handle) { handle_ = handle; }
  HWND Get() const { return handle_; }

 private:
  HWND handle_ = nullptr;
};

class TickTimer {
 public:
  TickTimer() = default;
  TickTimer(const TickTimer&) = delete;
  TickTimer& operator=(const TickTimer&) = delete;
  ~TickTimer() {
    if (window_) KillTimer(window_, kTickTimerId);
  }
  bool Start(HWND window) {
    if (SetTimer(window, kTickTimerId, kTickMilliseconds, nullptr) == 0) return false;
    window_ = window;
    return true;
  }

 private:
  HWND window_ = nullptr;
};

// --- What the logic asks of the window ---

class Win32WindowHost final : public WindowHost {
 public:
  explicit Win32WindowHost(HWND window) : window_(window) {}
  int Dpi() const override { return WindowDpi(window_); }
  void SetTitle(const std::string& title) override { SetWindowTextW(window_, Widen(title).c_str()); }

 private:
  HWND window_;
};

// --- Painting ---

RECT ToRect(const PictureRect& rect) { return RECT{rect.left, rect.top, rect.right, rect.bottom}; }
PictureRect FromRect(const RECT& rect) { return PictureRect{rect.left, rect.top, rect.right, rect.bottom}; }
COLORREF ToColorref(Rgb colour) { return RGB(colour.r, colour.g, colour.b); }

// What the picture had when it was painted.
enum class Shown { NoSize, SizeOnly, Pixels };

// What the window procedure finds attached to the window.
struct WindowContext {
  WindowState* state;
  ShownPicture shown;  // drawn from without the picture mutex
};

// Copies what changed since the last paint into `shown` and stores the picture rectangle.
Shown RefreshShown(const PictureRect& client, WindowState& state, ShownPicture& shown) {
  std::lock_guard<std::mutex> lock(*state.pictureMutex);
  SessionPicture& picture = *state.picture;
  if (picture.width < 1 || picture.height < 1) return Shown::NoSize;
  const size_t size = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 4;
  if (picture.framebuffer.size() < size) return Shown::SizeOnly;  // no pixels yet

  state.pictureRect = LetterboxRect(client, picture.width, picture.height);
  ChangedArea copied;  // GDI draws the whole copy however little changed
  return RefreshShownPicture(picture, shown, copied) ? Shown::Pixels : Shown::SizeOnly;
}

// Stretches the window's copy of the picture into its letterbox.
void DrawPicture(HDC dc, const PictureRect& target, const ShownPicture& shown) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = shown.width;
  info.bmiHeader.biHeight = -shown.height;  // rows from the top down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetStretchBltMode(dc, HALFTONE);
  StretchDIBits(dc, target.left, target.top, target.Width(), target.Height(), 0, 0, shown.width, shown.height,
                shown.pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);
}

void PaintWaiting(HDC dc, const RECT& client, HBRUSH background) {
  FillRect(dc, &client, background);
  SetTextColor(dc, ToColorref(kWaitingTextColour));
  SetBkMode(dc, TRANSPARENT);
  RECT area = client;
  DrawTextW(dc, Widen(kWaitingText).c_str(), -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

void Paint(HWND window, WindowContext& context) {
  WindowState& state = *context.state;
  const PaintScope paint(window);
  const UniqueBrush background(CreateSolidBrush(ToColorref(kBackgroundColour)));
  RECT clientRect{};
  GetClientRect(window, &clientRect);
  const PictureRect client = FromRect(clientRect);
  const Shown shown = RefreshShown(client, state, context.shown);
  if (shown == Shown::NoSize) {
    PaintWaiting(paint.Dc(), clientRect, background.get());
    return;
  }
  if (shown == Shown::Pixels) DrawPicture(paint.Dc(), state.pictureRect, context.shown);
  // A size without pixels yet keeps what the picture rectangle showed last.
  for (const PictureRect& margin : MarginRects(client, state.pictureRect)) {
    const RECT rect = ToRect(margin);
    FillRect(paint.Dc(), &rect, background.get());
  }
}

// --- Input ---

// As the keyboard stood for the message being handled.
Modifiers HeldModifiers() {
  return Modifiers{(GetKeyState(VK_CONTROL) & 0x8000) != 0, (GetKeyState(VK_MENU) & 0x8000) != 0};
}

std::optional<MouseButton> ButtonOf(UINT message) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP: return MouseButton::Left;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP: return MouseButton::Right;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP: return MouseButton::Middle;
    default: return std::nullopt;
  }
}

bool IsButtonDown(UINT message) {
  return message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN || message == WM_MBUTTONDOWN;
}

// The release is seen even outside the window while a button is held; it is sent only
// when it lands on the picture.
void HandleButton(HWND window, const WindowState& state, UINT message, LPARAM lParam) {
  const bool down = IsButtonDown(message);
  if (down) {
    SetCapture(window);
  } else {
    ReleaseCapture();
  }
  SendPointer(state, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), ButtonOf(message), down, 0, 0);
}

// Wheel messages carry the pointer in screen coordinates.
void HandleWheel(HWND window, const WindowState& state, WPARAM wParam, LPARAM lParam, bool horizontal) {
  POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ScreenToClient(window, &point);
  const int32_t delta = GET_WHEEL_DELTA_WPARAM(wParam);
  SendPointer(state, point.x, point.y, std::nullopt, false, horizontal ? 0 : delta, horizontal ? delta : 0);
}

// True when the message is the mouse's.
bool HandleMouse(HWND window, const WindowState& state, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_MOUSEMOVE:
      SendPointer(state, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), std::nullopt, false, 0, 0);
      return true;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP: HandleButton(window, state, message, lParam); return true;
    case WM_MOUSEWHEEL: HandleWheel(window, state, wParam, lParam, false); return true;
    case WM_MOUSEHWHEEL: HandleWheel(window, state, wParam, lParam, true); return true;
    default: return false;
  }
}

// True when the message is the keyboard's. The system keys are consumed as well, so that
// Alt+F4 and the like reach the client instead of acting on this window.
bool HandleKeyboard(WindowState& state, WindowHost& host, UINT message, WPARAM wParam) {
  const auto virtualKey = static_cast<uint32_t>(wParam);
  switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: HandleKeyDown(state, host, virtualKey, HeldModifiers()); return true;
    case WM_KEYUP:
    case WM_SYSKEYUP: HandleKeyUp(state, virtualKey, HeldModifiers()); return true;
    case WM_CHAR: HandleCharacter(state, static_cast<char16_t>(wParam)); return true;
    default: return false;
  }
}

// WM_TIMER comes only when no other message waits, a pending paint included, so a stream
// that keeps the window repainting faster than it paints would hold the once-a-second report
// back for seconds. A tick that is overdue runs after the paint instead.
constexpr int64_t kOverdueTickNanos = 1'250'000'000;

void TickIfOverdue(WindowState& state, WindowHost& host) {
  if (host.NowNanos() - state.lastReportNanos >= kOverdueTickNanos) OnTimerTick(state, host);
}

// True when the message is the window's own.
bool HandleWindowMessage(HWND window, WindowContext& context, WindowHost& host, UINT message, WPARAM wParam) {
  WindowState& state = *context.state;
  switch (message) {
    case WM_DESTROY: PostQuitMessage(0); return true;
    case WM_SIZE:
      OnResize(state, host);
      InvalidateRect(window, nullptr, FALSE);
      return true;
    case WM_SETFOCUS: return true;
    case WM_KILLFOCUS: ReleaseModifiersOnFocusLoss(state); return true;
    case WM_PAINT:
      Paint(window, context);
      TickIfOverdue(state, host);
      return true;
    case WM_CLOSE: DestroyWindow(window); return true;
    case WM_TIMER:
      if (wParam == kTickTimerId) OnTimerTick(state, host);
      return true;
    default: return false;
  }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // Nothing is attached while the window is being created.
  auto* context = reinterpret_cast<WindowContext*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!context) return DefWindowProcW(window, message, wParam, lParam);
  WindowState* state = context->state;
  // Painting covers every pixel.
  if (message == WM_ERASEBKGND) return 1;
  Win32WindowHost host(window);
  if (HandleWindowMessage(window, *context, host, message, wParam) || HandleKeyboard(*state, host, message, wParam) ||
      HandleMouse(window, *state, message, wParam, lParam)) {
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// --- The session window ---

class Win32SessionWindow final : public SessionWindow {
 public:
  explicit Win32SessionWindow(WindowState* state) : state_(state), context_{state, {}} {}

  bool Create(std::string& error);

  // InvalidateRect may be called from any thread, and the invalid region it grows is
  // painted by one WM_PAINT however many requests came first.
  std::function<void()> RepaintRequester() override {
    return [window = window_.Get()] { InvalidateRect(window, nullptr, FALSE); };
  }
  void ReportQuality() override {
    Win32WindowHost host(window_.Get());
    stv::ReportQuality(*state_, host);
  }
  LoopEnd RunEventLoop(const std::function<bool()>& sessionOpen) override;

 private:
  WindowState* state_;     // outlives the window
  WindowContext context_;  // attached to the window, so outlives it
  // Destroyed in reverse: the timer, then the window, then its class.
  WindowClass class_;
  OwnedWindow window_;
  TickTimer timer_;
};

bool Win32SessionWindow::Create(std::string& error) {
  BecomePerMonitorDpiAware();
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!class_.Register(instance, &WindowProcedure, error)) return false;
  window_.Reset(CreateWindowExW(0, kClassName, Widen(kInitialTitle).c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, kInitialWidth, kInitialHeight, nullptr, nullptr, instance, nullptr));
  if (!window_.Get()) {
    error = Failed("CreateWindowExW");
    return false;
  }
  SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&context_));
  ShowWindow(window_.Get(), SW_SHOW);
  if (!timer_.Start(window_.Get())) {
    error = Failed("SetTimer");
    return false;
  }
  return true;
}

LoopEnd Win32SessionWindow::RunEventLoop(const std::function<bool()>& sessionOpen) {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!sessionOpen()) return LoopEnd::TransportStopped;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // WM_QUIT after the window was closed, or a queue that can deliver nothing more.
  return LoopEnd::Closed;
}

}  // namespace

// A Windows desktop always has a display; creating the window is what may fail.
bool DisplayAvailable(std::string&) { return true; }

std::unique_ptr<SessionWindow> CreateSessionWindow(WindowState& state, std::string& error) {
  auto window = std::make_unique<Win32SessionWindow>(&state);
  if (!window->Create(error)) return nullptr;
  return window;
}

}  // namespace stv
