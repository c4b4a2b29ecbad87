#pragma once

namespace host {

int RunDemo(int argc, char** argv);
int RunSettings(int argc, char** argv);

}  // namespace host
