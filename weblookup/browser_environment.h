// Settings the embedded browser's engine (Chromium) reads from the
// environment at start-up, made before the application object exists.
#pragma once

namespace callscope {

// Run as root, Chromium refuses to start with its sandbox on, so the
// sandbox is turned off (QTWEBENGINE_DISABLE_SANDBOX=1) unless the caller
// already chose. Under a platform without a display ("offscreen",
// "minimal") there is no GPU to use, so "--disable-gpu" is added to
// QTWEBENGINE_CHROMIUM_FLAGS. The platform is the one named by a
// "-platform NAME" argument, else by QT_QPA_PLATFORM.
void PrepareBrowserEnvironment(int argc, char** argv);

}  // namespace callscope
