#pragma once

// The install and self-update code calls BeforeDiskStep() before each step that changes the disk
// and before each download whose bytes are written next. A test build compiled with
// KELVADON_TEST_HOOKS supplies the function, to stop the process before any chosen step and check
// that no interruption leaves the installation unusable. In the product it does nothing.
#ifdef KELVADON_TEST_HOOKS
void BeforeDiskStep();
#else
inline void BeforeDiskStep() {}
#endif
