#pragma once

// What main() does around building the application object, shared with the tools
// that run the whole program in-process.
namespace Startup {

// Must run before the application object is built.
void beforeApplication();
// The program's name, maker and version, as the window and the About box show them.
void setIdentity();

} // namespace Startup
