#include "player.h"

#include <commctrl.h>

#include <chrono>
#include <cmath>

namespace qx::test {

namespace {

constexpr const char* kMainClass = "QuorvexTestPlayer";

LRESULT CALLBACK mainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND createMainWindow() {
    static bool registered = false;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!registered) {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &mainWindowProcedure;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        windowClass.lpszClassName = kMainClass;
        registered = RegisterClassA(&windowClass) != 0;
    }
    // Out of the console's way, like a small player window.
    HWND window = CreateWindowExA(0, kMainClass, "Test Player", WS_OVERLAPPEDWINDOW, 700, 560, 240, 120, nullptr,
                                  nullptr, instance, nullptr);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    return window;
}

}  // namespace

Block sineBlock(double amplitude, double frequencyHz, int64_t startFrame, int32_t frames) {
    Block block(static_cast<size_t>(frames) * 2);
    for (int32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(startFrame + i) / kRate;
        double v = amplitude * std::sin(2.0 * 3.141592653589793 * frequencyHz * t) * 32768.0;
        if (v > 32767.0) v = 32767.0;
        if (v < -32768.0) v = -32768.0;
        const auto sample = static_cast<int16_t>(v);
        block[2 * i] = sample;
        block[2 * i + 1] = sample;
    }
    return block;
}

Block twoToneBlock(double amplitude1, double frequency1Hz, double amplitude2, double frequency2Hz, int64_t startFrame) {
    Block a = sineBlock(amplitude1, frequency1Hz, startFrame);
    const Block b = sineBlock(amplitude2, frequency2Hz, startFrame);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<int16_t>(a[i] + b[i]);
    return a;
}

void registerCommonControls() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
}

Player::Player() {
    mainWindow_ = createMainWindow();
    thread_ = std::thread([this] { playbackLoop(); });
}

Player::~Player() {
    stopPlayback();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exit_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (library_ != nullptr) FreeLibrary(library_);
    if (mainWindow_ != nullptr) DestroyWindow(mainWindow_);
    pump(0);
}

bool Player::load(const std::string& dllPath) {
    library_ = LoadLibraryA(dllPath.c_str());
    if (library_ == nullptr) return false;
    auto getHeader = reinterpret_cast<PluginHeader* (*)()>(reinterpret_cast<void*>(GetProcAddress(library_, kHeaderExport)));
    if (getHeader == nullptr) return false;
    header_ = getHeader();
    if (header_ == nullptr || header_->getModule == nullptr) return false;
    module_ = header_->getModule(0);
    if (module_ == nullptr) return false;
    module_->hwndParent = mainWindow_;
    module_->hDllInstance = library_;
    return true;
}

int32_t Player::init() { return module_->Init(module_); }
void Player::config() { module_->Config(module_); }
void Player::quit() { module_->Quit(module_); }

Block Player::process(const Block& input, int32_t bps, int32_t channels, int32_t rate) {
    std::unique_lock<std::mutex> lock(mutex_);
    request_ = input;
    requestBps_ = bps;
    requestChannels_ = channels;
    requestRate_ = rate;
    requestDone_ = false;
    requestPending_ = true;
    wake_.notify_all();
    wake_.wait(lock, [this] { return requestDone_; });
    return request_;
}

void Player::startPlayback(std::function<Block(int64_t)> source, std::function<void(const Block&)> sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = std::move(source);
    sink_ = std::move(sink);
    continuous_ = true;
    wake_.notify_all();
}

void Player::stopPlayback() {
    std::unique_lock<std::mutex> lock(mutex_);
    continuous_ = false;
    wake_.notify_all();
    // Wait until the loop has left the block in progress.
    requestDone_ = false;
    requestPending_ = true;
    request_.clear();
    wake_.wait(lock, [this] { return requestDone_; });
}

void Player::playbackLoop() {
    int64_t frame = 0;
    auto next = std::chrono::steady_clock::now();
    const auto blockTime = std::chrono::microseconds(1000000LL * kBlockFrames / kRate);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return exit_ || requestPending_ || continuous_; });
        if (exit_) return;
        if (requestPending_) {
            // One block on request (an empty block only synchronises).
            if (!request_.empty()) {
                const int32_t frames = static_cast<int32_t>(request_.size()) / (requestChannels_ > 0 ? requestChannels_ : 1);
                lastResult_ = module_->ModifySamples(module_, request_.data(), frames, requestBps_, requestChannels_,
                                                     requestRate_);
                ++blocksPlayed_;
            }
            requestPending_ = false;
            requestDone_ = true;
            wake_.notify_all();
            continue;
        }
        // Continuous playback at the rate a sound card would take the blocks.
        Block block = source_(frame);
        lock.unlock();
        module_->ModifySamples(module_, block.data(), kBlockFrames, 16, 2, kRate);
        if (sink_) sink_(block);
        ++blocksPlayed_;
        frame += kBlockFrames;
        next += blockTime;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;
        std::this_thread::sleep_until(next);
        lock.lock();
    }
}

void Player::pump(int milliseconds) {
    pumpUntil([] { return false; }, milliseconds);
}

bool Player::pumpUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
            if (condition()) return true;
        }
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

MessageBoxWatcher::MessageBoxWatcher(int answer) : answer_(answer), thread_([this] { watch(); }) {}

MessageBoxWatcher::~MessageBoxWatcher() {
    stop_ = true;
    thread_.join();
}

std::vector<MessageBoxWatcher::Seen> MessageBoxWatcher::seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

size_t MessageBoxWatcher::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_.size();
}

void MessageBoxWatcher::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
}

void MessageBoxWatcher::watch() {
    // A message box is a dialog-class window holding the message text control.
    constexpr int kTextControl = 0xFFFF;
    constexpr int kIconControl = 0x0440;
    while (!stop_) {
        std::vector<HWND> boxes;
        EnumWindows(
            [](HWND window, LPARAM context) -> BOOL {
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                char className[16] = {};
                GetClassNameA(window, className, sizeof className);
                if (process == GetCurrentProcessId() && std::string(className) == "#32770" &&
                    IsWindowVisible(window) && GetDlgItem(window, kTextControl) != nullptr)
                    reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&boxes));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::erase_if(answered_, [](HWND window) { return !IsWindow(window); });
            for (HWND box : boxes) {
                if (std::find(answered_.begin(), answered_.end(), box) != answered_.end()) continue;
                Seen seen;
                char text[1024] = {};
                GetWindowTextA(box, text, sizeof text);
                seen.caption = text;
                GetDlgItemTextA(box, kTextControl, text, sizeof text);
                seen.text = text;
                const auto icon = reinterpret_cast<HICON>(SendDlgItemMessageA(box, kIconControl, STM_GETICON, 0, 0));
                seen.warningIcon = icon != nullptr && icon == LoadIcon(nullptr, IDI_WARNING);
                seen.questionIcon = icon != nullptr && icon == LoadIcon(nullptr, IDI_QUESTION);
                HWND iconControl = GetDlgItem(box, kIconControl);
                seen.anyIcon = iconControl != nullptr && IsWindowVisible(iconControl) && icon != nullptr;
                seen.yesNo = GetDlgItem(box, IDYES) != nullptr && GetDlgItem(box, IDNO) != nullptr;
                seen.owner = GetWindow(box, GW_OWNER);
                seen_.push_back(seen);
                answered_.push_back(box);
                const int button = GetDlgItem(box, IDOK) != nullptr ? IDOK : answer_;
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            }
        }
        Sleep(10);
    }
}

}  // namespace qx::test
