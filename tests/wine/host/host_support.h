#pragma once
// Helpers of the plug-in integration tests: paths handed in by the test
// script, the per-test data directory named through the player's uninstall
// entry, settings files, console controls and screenshots.
#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qx::test {

// The plug-in under test (QX_PLUGIN), the source tree (QX_SOURCE_DIR) and the
// directory screenshots go to (QX_SCREENSHOT_DIR with a trailing backslash,
// empty when not set); Windows paths.
std::string pluginPath();
std::string sourcePath(const std::string& relative);
std::string screenshotDirectory();

// Sets or removes the player's uninstall command in the registry.
bool setUninstallString(const std::string& value);
bool removeUninstallString();

// A fresh copy of the plug-in for the running test: an empty data directory
// named after the test, which the player's uninstall entry names, holding a
// copy of the plug-in. Returns the copy's path, empty on failure.
std::string preparePluginCopy(std::string& dataDir);

// Creates the directory (and its parents) and deletes every file in it.
bool makeEmptyDirectory(const std::string& directory);
bool fileExists(const std::string& path);
std::string readWholeFile(const std::string& path);
bool writeWholeFile(const std::string& path, const std::string& text);

// A settings or preset text as the plug-in writes it: four header lines, then
// "key<padding> = value" lines with CR LF.
std::string documentText(const std::string& fileName, const std::vector<std::pair<std::string, std::string>>& lines);
// The key lines of such a text, in file order.
std::vector<std::pair<std::string, std::string>> documentLines(const std::string& text);
std::map<std::string, std::string> documentMap(const std::string& text);

// Top-level dialog windows of this process with the given caption.
std::vector<HWND> dialogsWithCaption(const std::string& caption);
HWND findConsole();

std::string controlText(HWND dialog, int controlId);
std::string listText(HWND dialog, int listId, int index);
bool isChecked(HWND dialog, int controlId);
void clickButton(HWND dialog, int controlId);
int trackbarPosition(HWND dialog, int controlId);
int progressPosition(HWND dialog, int controlId);
// Sends a key to a trackbar, which moves it and notifies the dialog.
void pressKey(HWND dialog, int controlId, WPARAM key);
// Puts a trackbar's thumb at a position and tells the dialog, as a drag does.
void dragSlider(HWND dialog, int controlId, int position);
// Selects a list entry (-1: none).
void selectEntry(HWND dialog, int listId, int index);

// What is untidy in a dialog: controls overlapping (group boxes apart),
// controls half inside a group box or closer to the edge than `margin` pixels,
// texts wider than their control at the dialog's font. Empty when tidy. The
// default margin is about the 7 dialog units of the stage windows, less rounding.
std::vector<std::string> layoutProblems(HWND dialog, int margin = 8);

// Captures the window's screen area into a 24-bit BMP file.
bool saveWindowBitmap(HWND window, const std::string& path);

// The client area of a window as the window's own device context shows it.
struct ClientPixels {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> colours;  // row by row from the top
    COLORREF at(int x, int y) const {
        return x < 0 || y < 0 || x >= width || y >= height ? CLR_INVALID : colours[static_cast<size_t>(y) * width + x];
    }
};
ClientPixels readClientPixels(HWND window);


}  // namespace qx::test
