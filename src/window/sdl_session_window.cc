// The session window on SDL2: a resizable window, SDL_ttf for the one line of text, an SDL
// timer for the once-a-second tick. With a GPU the picture is a streaming texture the GPU
// scales; without one the window scales it itself straight into the window's surface.
//
// The decoding threads paint the picture under its mutex and ask for a repaint. The window
// takes only what changed under that mutex (into the texture, or into the first pass of its
// own scale) and leaves uploads, the rest of the scale and presents outside it, so decoding
// never waits for them; presents are paced to the display's refresh rate.
#include <SDL.h>
#include <SDL_ttf.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "diag/log.h"
#include "window/fontconfig_font.h"
#include "window/input_forwarding.h"
#include "window/picture_layout.h"
#include "window/picture_scaler.h"
#include "window/repaint_coalescer.h"
#include "window/sdl_keymap.h"
#include "window/session_title.h"
#include "window/session_window.h"
#include "window/shown_picture.h"
#include "window/window_host.h"
#include "window/x11_error_filter.h"

namespace stv {
namespace {

constexpr int kInitialWidth = 1280;
constexpr int kInitialHeight = 800;
constexpr Uint32 kTickMilliseconds = 1000;
constexpr char kFontPattern[] = "DejaVu Sans";
constexpr int kFontPixels = 16;

// The framebuffer's B, G, R, X bytes as an SDL pixel format.
constexpr Uint32 kFramebufferFormat =
    SDL_BYTEORDER == SDL_BIG_ENDIAN ? SDL_PIXELFORMAT_BGRX8888 : SDL_PIXELFORMAT_RGB888;

struct SdlDeleter {
  void operator()(SDL_Window* window) const { SDL_DestroyWindow(window); }
  void operator()(SDL_Renderer* renderer) const { SDL_DestroyRenderer(renderer); }
  void operator()(SDL_Texture* texture) const { SDL_DestroyTexture(texture); }
  void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
  void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
template <typename T>
using SdlPtr = std::unique_ptr<T, SdlDeleter>;

// Without a display SDL falls back to drivers that draw nowhere; a session window nobody
// can see is no window. Those drivers still serve whoever asks for them by name.
bool OnRealDisplay() {
  const char* driver = SDL_GetCurrentVideoDriver();
  if (!driver) return false;
  if (SDL_GetHint(SDL_HINT_VIDEODRIVER)) return true;
  return std::strcmp(driver, "offscreen") != 0 && std::strcmp(driver, "dummy") != 0;
}

// Whether the kernel offers a GPU for rendering. Without one Mesa's GL is a software
// rasterizer (llvmpipe), as in most VDI sessions.
bool HasGpuRenderNode() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
    if (entry.path().filename().string().starts_with("renderD")) return true;
  }
  return false;
}

// Without a GPU, drawing into the window's surface (a shared-memory X image) costs a fraction
// of the CPU and memory that llvmpipe does (bench/window). A driver the user names stands;
// naming SDL's software renderer means the surface too.
bool DrawsWithoutRenderer() {
  if (const char* driver = SDL_GetHint(SDL_HINT_RENDER_DRIVER)) return SDL_strcasecmp(driver, "software") == 0;
  return !HasGpuRenderNode();
}

// SDL_Init and SDL_Quit, TTF_Init and TTF_Quit, as one owned resource.
class SdlLibrary {
 public:
  SdlLibrary() = default;
  SdlLibrary(const SdlLibrary&) = delete;
  SdlLibrary& operator=(const SdlLibrary&) = delete;
  ~SdlLibrary() {
    if (ttfStarted_) TTF_Quit();
    if (sdlStarted_) SDL_Quit();
  }

  bool Start(std::string& error) {
    // Before SDL_Init: SDL puts back the handler it found there just before it closes its
    // connections, which is where a late wakeup error usually surfaces.
    IgnoreLateWakeupErrors();
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) != 0) {
      error = std::string("SDL_Init failed (") + SDL_GetError() + ")";
      return false;
    }
    sdlStarted_ = true;
    if (!OnRealDisplay()) {
      const char* driver = SDL_GetCurrentVideoDriver();
      error = std::string("no display to show the window on (SDL offers only its \"") + (driver ? driver : "") +
              "\" driver)";
      return false;
    }
    // Without the font library the window still works; it only shows no waiting text.
    ttfStarted_ = TTF_Init() == 0;
    return true;
  }
  bool TtfStarted() const { return ttfStarted_; }

 private:
  bool sdlStarted_ = false;
  bool ttfStarted_ = false;
};

SDL_Rect ToSdlRect(const PictureRect& rect) { return SDL_Rect{rect.left, rect.top, rect.Width(), rect.Height()}; }

// Windows delivers what is typed with Ctrl or the left Alt held as control characters or
// system characters, never as text; such keys reach the client as keys instead. AltGr
// (the right Alt) does type text.
bool ShortcutModifiersHeld(Uint16 mod) { return (mod & (KMOD_CTRL | KMOD_LALT)) != 0; }

Modifiers ModifiersFrom(Uint16 mod) { return Modifiers{(mod & KMOD_CTRL) != 0, (mod & KMOD_ALT) != 0}; }

std::optional<MouseButton> MouseButtonFrom(Uint8 button) {
  switch (button) {
    case SDL_BUTTON_LEFT: return MouseButton::Left;
    case SDL_BUTTON_RIGHT: return MouseButton::Right;
    case SDL_BUTTON_MIDDLE: return MouseButton::Middle;
    default: return std::nullopt;  // extra buttons are not forwarded
  }
}

class SdlSessionWindow final : public SessionWindow, public WindowHost {
 public:
  explicit SdlSessionWindow(WindowState* state) : state_(state) {}
  ~SdlSessionWindow() override {
    if (timer_ != 0) SDL_RemoveTimer(timer_);
    if (deferredRepaint_ != 0) SDL_RemoveTimer(deferredRepaint_);
  }

  bool Create(std::string& error);

  std::function<void()> RepaintRequester() override {
    return [this] { RequestRepaint(); };
  }
  void ReportQuality() override { stv::ReportQuality(*state_, *this); }
  LoopEnd RunEventLoop(const std::function<bool()>& sessionOpen) override;

  int Dpi() const override;
  void SetTitle(const std::string& title) override { SDL_SetWindowTitle(window_.get(), title.c_str()); }

 private:
  static Uint32 OnTimer(Uint32 interval, void* tickEvent);
  static Uint32 OnDeferredRepaint(Uint32 interval, void* repaintEvent);
  void RequestRepaint();
  // A repaint request served now, or once the display's next refresh is due.
  void RepaintPaced();
  // False when the event closes the window.
  bool HandleEvent(const SDL_Event& event);
  void HandleWindowEvent(const SDL_WindowEvent& event);
  void HandleKey(const SDL_KeyboardEvent& event);
  void HandleWheel(const SDL_MouseWheelEvent& event);

  void Paint();
  // With a renderer: uploads what changed and has the renderer scale the whole texture.
  void PaintWithRenderer();
  // Without one: scales what changed into the window's surface and sends only that to the display.
  void PaintIntoSurface();
  void Presented() { pacer_.Presented(MonotonicNanos()); }
  // The streaming texture at this size, recreated (and so all changed) when it is not.
  bool EnsureTexture(int width, int height);
  // Brings the texture up to date with what changed in a width x height picture.
  void UploadChanged(int width, int height);
  // Copies one rectangle of the picture into the texture, taking the picture mutex for the copy.
  void UploadRect(const ChangedRect& rect);
  // Scales what changed of the window's blend to `shown`, a rectangle of `surface`, adding
  // the parts of the window it drew to `drawn`.
  void ScaleChangedInto(SDL_Surface* surface, const PictureRect& shown, std::vector<SDL_Rect>& drawn);
  void FillRect(const PictureRect& rect, Rgb colour);
  void FillSurfaceRect(SDL_Surface* surface, const PictureRect& rect, Rgb colour);
  void PaintWaiting(const PictureRect& client);
  void PaintWaitingIntoSurface(SDL_Surface* surface);
  void LoadWaitingText();

  WindowState* state_;  // outlives the window
  SdlLibrary library_;
  SdlPtr<SDL_Window> window_;
  SdlPtr<SDL_Renderer> renderer_;
  SdlPtr<SDL_Texture> picture_;
  int textureWidth_ = 0;
  int textureHeight_ = 0;
  SdlPtr<SDL_Surface> waitingSurface_;
  SdlPtr<SDL_Texture> waitingText_;  // the same text, for the renderer
  SDL_TimerID timer_ = 0;
  Uint32 repaintEvent_ = 0;
  Uint32 tickEvent_ = 0;
  Uint32 deferredRepaintEvent_ = 0;
  RepaintCoalescer repaints_;
  PresentPacer pacer_{PresentPacer::kDefaultRefreshHz};
  SDL_TimerID deferredRepaint_ = 0;
  ChangedArea changed_;  // taken from the picture, not yet in the texture or the surface
  // Without a GPU a renderer would stretch the whole picture at every present and then copy
  // it to the window's surface; the window scales only what changed itself, straight into
  // that surface, from the first pass of the scale it keeps.
  bool intoSurface_ = false;
  BlendedPicture blended_;
  // The window's surface as last drawn: a new one (after a resize) is drawn whole.
  SDL_Surface* surface_ = nullptr;
  PictureRect surfaceClient_;  // its size
  PictureRect surfaceShown_;   // where the picture went in it
  bool redrawWhole_ = true;
  bool sendWhole_ = false;  // the display lost what it showed (an expose)
  // Where the surface's pixels are not the picture's format, the scaler's output is converted.
  SdlPtr<SDL_Surface> staging_;
  Uint16 lastKeyDownMod_ = KMOD_NONE;
};

bool SdlSessionWindow::Create(std::string& error) {
  // Alt+F4 must reach the client like any other key, not close the window.
  SDL_SetHint(SDL_HINT_WINDOWS_NO_CLOSE_ON_ALT_F4, "1");
#ifdef SDL_HINT_WINDOWS_DPI_AWARENESS
  SDL_SetHint(SDL_HINT_WINDOWS_DPI_AWARENESS, "permonitorv2");
#endif
  if (!library_.Start(error)) return false;
  intoSurface_ = DrawsWithoutRenderer();

  const Uint32 events = SDL_RegisterEvents(3);
  if (events == static_cast<Uint32>(-1)) {
    error = "SDL_RegisterEvents failed";
    return false;
  }
  repaintEvent_ = events;
  tickEvent_ = events + 1;
  deferredRepaintEvent_ = events + 2;

  window_.reset(SDL_CreateWindow(kInitialTitle, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, kInitialWidth,
                                 kInitialHeight, SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN));
  if (!window_) {
    error = std::string("SDL_CreateWindow failed (") + SDL_GetError() + ")";
    return false;
  }
  if (!intoSurface_) {
    renderer_.reset(SDL_CreateRenderer(window_.get(), -1, 0));
    intoSurface_ = !renderer_;  // no renderer at all still leaves the surface
  }
  if (intoSurface_) {
    // Else SDL would put the surface on screen through GL after all.
    if (!SDL_GetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION)) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (!SDL_GetWindowSurface(window_.get())) {
      error = std::string("SDL_GetWindowSurface failed (") + SDL_GetError() + ")";
      return false;
    }
  }
  if (library_.TtfStarted()) LoadWaitingText();
  SDL_DisplayMode mode{};
  if (SDL_GetWindowDisplayMode(window_.get(), &mode) == 0) pacer_ = PresentPacer(mode.refresh_rate);

  SDL_StartTextInput();
  // The event type travels by value: a tick already under way when the timer is removed
  // must not reach into a window being destroyed.
  timer_ = SDL_AddTimer(kTickMilliseconds, &SdlSessionWindow::OnTimer,
                        reinterpret_cast<void*>(static_cast<uintptr_t>(tickEvent_)));
  if (timer_ == 0) {
    error = std::string("SDL_AddTimer failed (") + SDL_GetError() + ")";
    return false;
  }
  Paint();
  return true;
}

// Runs on SDL's timer thread: only queues an event for the window's thread.
Uint32 SdlSessionWindow::OnTimer(Uint32 interval, void* tickEvent) {
  SDL_Event event{};
  event.type = static_cast<Uint32>(reinterpret_cast<uintptr_t>(tickEvent));
  SDL_PushEvent(&event);
  return interval;
}

// One-shot, on SDL's timer thread like OnTimer.
Uint32 SdlSessionWindow::OnDeferredRepaint(Uint32, void* repaintEvent) {
  SDL_Event event{};
  event.type = static_cast<Uint32>(reinterpret_cast<uintptr_t>(repaintEvent));
  SDL_PushEvent(&event);
  return 0;
}

void SdlSessionWindow::RequestRepaint() {
  if (!repaints_.Request()) return;
  SDL_Event event{};
  event.type = repaintEvent_;
  if (SDL_PushEvent(&event) != 1) repaints_.QueueFailed();
}

int SdlSessionWindow::Dpi() const {
  float horizontal = 0.0f;
  const int display = SDL_GetWindowDisplayIndex(window_.get());
  if (display < 0 || SDL_GetDisplayDPI(display, nullptr, &horizontal, nullptr) != 0) return 0;
  if (!(horizontal >= 1.0f && horizontal < 100000.0f)) return 0;
  return static_cast<int>(std::lround(horizontal));
}

LoopEnd SdlSessionWindow::RunEventLoop(const std::function<bool()>& sessionOpen) {
  SDL_Event event;
  while (SDL_WaitEvent(&event) == 1) {
    if (!sessionOpen()) return LoopEnd::TransportStopped;
    if (!HandleEvent(event)) return LoopEnd::Closed;
  }
  // The event queue is gone; nothing more can happen in this window.
  return LoopEnd::Closed;
}

bool SdlSessionWindow::HandleEvent(const SDL_Event& event) {
  if (event.type == repaintEvent_) {
    RepaintPaced();
    return true;
  }
  if (event.type == deferredRepaintEvent_) {
    deferredRepaint_ = 0;
    Paint();
    return true;
  }
  if (event.type == tickEvent_) {
    OnTimerTick(*state_, *this);
    return true;
  }
  switch (event.type) {
    case SDL_QUIT: return false;
    case SDL_WINDOWEVENT:
      if (event.window.event == SDL_WINDOWEVENT_CLOSE) return false;
      HandleWindowEvent(event.window);
      return true;
    case SDL_KEYDOWN:
    case SDL_KEYUP: HandleKey(event.key); return true;
    case SDL_TEXTINPUT:
      if (!ShortcutModifiersHeld(lastKeyDownMod_)) HandleTypedText(*state_, event.text.text);
      return true;
    case SDL_MOUSEMOTION: SendPointer(*state_, event.motion.x, event.motion.y, std::nullopt, false, 0, 0); return true;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      const auto button = MouseButtonFrom(event.button.button);
      if (!button) return true;
      const bool down = event.type == SDL_MOUSEBUTTONDOWN;
      // Keep receiving the pointer while a button is held, even outside the window, so
      // the release is seen; it is sent only if it lands on the picture.
      SDL_CaptureMouse(down ? SDL_TRUE : SDL_FALSE);
      SendPointer(*state_, event.button.x, event.button.y, button, down, 0, 0);
      return true;
    }
    case SDL_MOUSEWHEEL: HandleWheel(event.wheel); return true;
    case SDL_RENDER_TARGETS_RESET:
    case SDL_RENDER_DEVICE_RESET:
      // The textures' contents are gone; rebuild them on the next paint.
      picture_.reset();
      textureWidth_ = textureHeight_ = 0;
      if (library_.TtfStarted()) LoadWaitingText();
      Paint();
      return true;
    default: return true;
  }
}

void SdlSessionWindow::HandleWindowEvent(const SDL_WindowEvent& event) {
  switch (event.event) {
    case SDL_WINDOWEVENT_SIZE_CHANGED:
      OnResize(*state_, *this);
      redrawWhole_ = true;
      Paint();
      break;
    case SDL_WINDOWEVENT_EXPOSED:
      sendWhole_ = true;
      Paint();
      break;
    case SDL_WINDOWEVENT_FOCUS_LOST: ReleaseModifiersOnFocusLoss(*state_); break;
    default: break;
  }
}

void SdlSessionWindow::HandleKey(const SDL_KeyboardEvent& event) {
  // The modifiers as they stood when this key event happened, which is what the client's
  // key state would report for it.
  const Modifiers modifiers = ModifiersFrom(event.keysym.mod);
  const uint32_t virtualKey = VirtualKeyFromSdl(event.keysym);
  if (event.type == SDL_KEYUP) {
    if (virtualKey != 0) HandleKeyUp(*state_, virtualKey, modifiers);
    return;
  }
  lastKeyDownMod_ = event.keysym.mod;
  if (virtualKey == 0) return;
  HandleKeyDown(*state_, *this, virtualKey, modifiers);
  // SDL types no control characters, but the client expects the tab as text too.
  if (KeyTypesTab(virtualKey, modifiers)) HandleCharacter(*state_, u'\t');
}

void SdlSessionWindow::HandleWheel(const SDL_MouseWheelEvent& event) {
  const float flip = event.direction == SDL_MOUSEWHEEL_FLIPPED ? -1.0f : 1.0f;
#if SDL_VERSION_ATLEAST(2, 26, 0)
  const int x = event.mouseX;
  const int y = event.mouseY;
#else
  int x = 0;
  int y = 0;
  SDL_GetMouseState(&x, &y);
#endif
  const int32_t vertical = WheelDeltaFromNotches(event.preciseY * flip);
  const int32_t horizontal = WheelDeltaFromNotches(event.preciseX * flip);
  if (vertical != 0) SendPointer(*state_, x, y, std::nullopt, false, vertical, 0);
  if (horizontal != 0) SendPointer(*state_, x, y, std::nullopt, false, 0, horizontal);
}

void SdlSessionWindow::RepaintPaced() {
  // Whatever changes until a paint set for later happens is shown by that paint; painting now
  // as well would make two presents of one interval.
  if (deferredRepaint_ != 0) return;
  const int64_t wait = pacer_.WaitBefore(MonotonicNanos(), state_->decodingBehind && state_->decodingBehind());
  if (wait == 0) {
    Paint();
    return;
  }
  const Uint32 milliseconds = static_cast<Uint32>((wait + 999999) / 1000000);
  deferredRepaint_ = SDL_AddTimer(milliseconds, &SdlSessionWindow::OnDeferredRepaint,
                                  reinterpret_cast<void*>(static_cast<uintptr_t>(deferredRepaintEvent_)));
  if (deferredRepaint_ == 0) Paint();  // no timer: better early than never
}

void SdlSessionWindow::Paint() {
  // Taken here, not when the request arrives: until this paint reads the picture, a change
  // needs no request of its own, so the decoding threads do not wake this thread for each
  // message while a paint waits for its interval.
  repaints_.Take();
  if (intoSurface_) {
    PaintIntoSurface();
  } else {
    PaintWithRenderer();
  }
}

void SdlSessionWindow::PaintWithRenderer() {
  int clientWidth = 0;
  int clientHeight = 0;
  if (SDL_GetRendererOutputSize(renderer_.get(), &clientWidth, &clientHeight) != 0) return;
  const PictureRect client{0, 0, clientWidth, clientHeight};

  bool waiting = false;
  int width = 0;
  int height = 0;
  {
    std::lock_guard<std::mutex> lock(*state_->pictureMutex);
    SessionPicture& picture = *state_->picture;
    const bool hasSize = picture.width >= 1 && picture.height >= 1;
    if (hasSize && !picture.framebuffer.empty()) {
      state_->pictureRect = LetterboxRect(client, picture.width, picture.height);
      width = picture.width;
      height = picture.height;
      ChangedArea taken;
      TakeChanged(picture, taken);
      changed_.Add(taken);
    } else {
      waiting = !hasSize;
    }
  }
  if (waiting) {
    PaintWaiting(client);
    return;
  }
  UploadChanged(width, height);
  // A picture whose pixels have not arrived yet keeps what was shown last.
  if (picture_) {
    const SDL_Rect target = ToSdlRect(state_->pictureRect);
    SDL_RenderCopy(renderer_.get(), picture_.get(), nullptr, &target);
  } else {
    FillRect(state_->pictureRect, kBackgroundColour);
  }
  for (const PictureRect& margin : MarginRects(client, state_->pictureRect)) FillRect(margin, kBackgroundColour);
  SDL_RenderPresent(renderer_.get());
  Presented();
}

void SdlSessionWindow::PaintIntoSurface() {
  // A resize leaves SDL a surface to make anew, at the new size.
  SDL_Surface* surface = SDL_GetWindowSurface(window_.get());
  if (!surface) return;
  const PictureRect client{0, 0, surface->w, surface->h};
  if (surface != surface_ || client != surfaceClient_) {
    surface_ = surface;
    surfaceClient_ = client;
    redrawWhole_ = true;
  }

  bool waiting = false;
  {
    std::lock_guard<std::mutex> lock(*state_->pictureMutex);
    SessionPicture& picture = *state_->picture;
    const bool hasSize = picture.width >= 1 && picture.height >= 1;
    if (hasSize && !picture.framebuffer.empty()) {
      const PictureRect shown = LetterboxRect(client, picture.width, picture.height);
      state_->pictureRect = shown;
      if (shown.Width() >= 1 && shown.Height() >= 1) {
        RefreshBlendedPicture(picture, shown.Width(), shown.Height(), blended_, changed_);
      }
    } else {
      waiting = !hasSize;
    }
  }
  if (waiting) {
    PaintWaitingIntoSurface(surface);
    return;
  }
  const PictureRect shown = state_->pictureRect;
  if (shown != surfaceShown_) {
    surfaceShown_ = shown;
    redrawWhole_ = true;
  }
  std::vector<SDL_Rect> drawn;
  if (redrawWhole_) {
    for (const PictureRect& margin : MarginRects(client, shown)) FillSurfaceRect(surface, margin, kBackgroundColour);
    changed_.AddEverything();
  }
  // A picture whose pixels have not arrived yet keeps what was shown last, if it fits.
  const PictureScaler& scaler = blended_.scaler;
  if (scaler.OutputWidth() == shown.Width() && scaler.OutputHeight() == shown.Height()) {
    ScaleChangedInto(surface, shown, drawn);
  } else if (redrawWhole_) {
    FillSurfaceRect(surface, shown, kBackgroundColour);
  }
  if (redrawWhole_ || sendWhole_) {
    SDL_UpdateWindowSurface(window_.get());
  } else if (!drawn.empty()) {
    SDL_UpdateWindowSurfaceRects(window_.get(), drawn.data(), static_cast<int>(drawn.size()));
  }
  redrawWhole_ = sendWhole_ = false;
  Presented();
}

bool SdlSessionWindow::EnsureTexture(int width, int height) {
  if (picture_ && textureWidth_ == width && textureHeight_ == height) return true;
  picture_.reset(SDL_CreateTexture(renderer_.get(), kFramebufferFormat, SDL_TEXTUREACCESS_STREAMING, width, height));
  if (!picture_) {
    textureWidth_ = textureHeight_ = 0;
    return false;
  }
  SDL_SetTextureScaleMode(picture_.get(), SDL_ScaleModeLinear);
  textureWidth_ = width;
  textureHeight_ = height;
  changed_.AddEverything();
  return true;
}

void SdlSessionWindow::UploadChanged(int width, int height) {
  if (!EnsureTexture(width, height)) return;
  changed_.ForEach(width, height, [&](const ChangedRect& rect) { UploadRect(rect); });
  changed_.Clear();
}

void SdlSessionWindow::UploadRect(const ChangedRect& rect) {
  const SDL_Rect area{rect.x, rect.y, rect.w, rect.h};
  void* pixels = nullptr;
  int pitch = 0;
  if (SDL_LockTexture(picture_.get(), &area, &pixels, &pitch) != 0) return;
  {
    std::lock_guard<std::mutex> lock(*state_->pictureMutex);
    const SessionPicture& picture = *state_->picture;
    const size_t stride = static_cast<size_t>(picture.width) * 4;
    // A picture resized since the rectangles were taken has recorded everything as
    // changed; the repaint its first tile asks for shows it.
    if (picture.width == textureWidth_ && picture.height == textureHeight_ &&
        picture.framebuffer.size() >= stride * static_cast<size_t>(picture.height)) {
      CopyPictureRect(picture, rect, static_cast<uint8_t*>(pixels), static_cast<size_t>(pitch));
    }
  }
  SDL_UnlockTexture(picture_.get());  // the upload, outside the picture's lock
}

void SdlSessionWindow::ScaleChangedInto(SDL_Surface* surface, const PictureRect& shown, std::vector<SDL_Rect>& drawn) {
  const int width = shown.Width();
  const int height = shown.Height();
  const PictureScaler& scaler = blended_.scaler;
  const bool converted = surface->format->format != kFramebufferFormat;
  if (converted && (!staging_ || staging_->w != width || staging_->h != height)) {
    staging_.reset(SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, kFramebufferFormat));
    if (!staging_) return;
  }
  SDL_Surface* target = converted ? staging_.get() : surface;
  // The scaler writes the part at its place in the target: the picture's place in the window,
  // or the staging surface's origin.
  const int left = converted ? 0 : shown.left;
  const int top = converted ? 0 : shown.top;
  if (SDL_MUSTLOCK(target) && SDL_LockSurface(target) != 0) return;
  std::vector<ChangedRect> parts;
  changed_.ForEach(scaler.SourceWidth(), scaler.SourceHeight(), [&](const ChangedRect& rect) {
    const ChangedRect part = scaler.OutputOf(rect);
    if (part.w < 1 || part.h < 1) return;
    uint8_t* to = static_cast<uint8_t*>(target->pixels) + static_cast<size_t>(top + part.y) * target->pitch +
                  static_cast<size_t>(left + part.x) * 4;
    scaler.ScaleColumns(blended_.pixels.data(), blended_.Stride(), part, to, static_cast<size_t>(target->pitch));
    parts.push_back(part);
  });
  if (SDL_MUSTLOCK(target)) SDL_UnlockSurface(target);
  changed_.Clear();
  for (const ChangedRect& part : parts) {
    SDL_Rect from{part.x, part.y, part.w, part.h};
    SDL_Rect to{shown.left + part.x, shown.top + part.y, part.w, part.h};
    if (converted) SDL_BlitSurface(staging_.get(), &from, surface, &to);
    drawn.push_back(to);
  }
}

void SdlSessionWindow::FillRect(const PictureRect& rect, Rgb colour) {
  SDL_SetRenderDrawColor(renderer_.get(), colour.r, colour.g, colour.b, SDL_ALPHA_OPAQUE);
  const SDL_Rect target = ToSdlRect(rect);
  SDL_RenderFillRect(renderer_.get(), &target);
}

void SdlSessionWindow::FillSurfaceRect(SDL_Surface* surface, const PictureRect& rect, Rgb colour) {
  const SDL_Rect target = ToSdlRect(rect);
  SDL_FillRect(surface, &target, SDL_MapRGB(surface->format, colour.r, colour.g, colour.b));
}

// The text centred on the client area.
SDL_Rect WaitingTextRect(const SDL_Surface& text, int clientWidth, int clientHeight) {
  return SDL_Rect{(clientWidth - text.w) / 2, (clientHeight - text.h) / 2, text.w, text.h};
}

void SdlSessionWindow::PaintWaiting(const PictureRect& client) {
  FillRect(client, kBackgroundColour);
  if (waitingText_) {
    const SDL_Rect target = WaitingTextRect(*waitingSurface_, client.Width(), client.Height());
    SDL_RenderCopy(renderer_.get(), waitingText_.get(), nullptr, &target);
  }
  SDL_RenderPresent(renderer_.get());
  Presented();
}

void SdlSessionWindow::PaintWaitingIntoSurface(SDL_Surface* surface) {
  FillSurfaceRect(surface, {0, 0, surface->w, surface->h}, kBackgroundColour);
  if (waitingSurface_) {
    SDL_Rect target = WaitingTextRect(*waitingSurface_, surface->w, surface->h);
    SDL_BlitSurface(waitingSurface_.get(), nullptr, surface, &target);
  }
  SDL_UpdateWindowSurface(window_.get());
  // The picture, when it comes, is drawn whole over this.
  redrawWhole_ = true;
  Presented();
}

void SdlSessionWindow::LoadWaitingText() {
  waitingText_.reset();
  waitingSurface_.reset();
  const auto file = FindFontFile(kFontPattern);
  if (!file) {
    Logger::Instance().Warn("[window] no font found; the waiting text is not shown");
    return;
  }
  SdlPtr<TTF_Font> font(TTF_OpenFont(file->c_str(), kFontPixels));
  if (!font) {
    Logger::Instance().Warn("[window] cannot open font %s (%s)", file->c_str(), TTF_GetError());
    return;
  }
  const SDL_Color colour{kWaitingTextColour.r, kWaitingTextColour.g, kWaitingTextColour.b, SDL_ALPHA_OPAQUE};
  waitingSurface_.reset(TTF_RenderUTF8_Blended(font.get(), kWaitingText, colour));
  if (waitingSurface_ && renderer_)
    waitingText_.reset(SDL_CreateTextureFromSurface(renderer_.get(), waitingSurface_.get()));
}

}  // namespace

bool DisplayAvailable(std::string& error) {
  SdlLibrary library;  // stopped again here; the window starts its own
  return library.Start(error);
}

std::unique_ptr<SessionWindow> CreateSessionWindow(WindowState& state, std::string& error) {
  auto window = std::make_unique<SdlSessionWindow>(&state);
  if (!window->Create(error)) return nullptr;
  return window;
}

}  // namespace stv
