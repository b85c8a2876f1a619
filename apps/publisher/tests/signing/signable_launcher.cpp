// A small Windows program that carries this build's release key the way the launcher does, for
// signing tests run on Linux, where the launcher itself is not a Windows executable.
#include "update/trust/crypto.h"

int main() { return ReleaseKey[0] == 0 ? 1 : 0; }
