#pragma once

// update_interrupt_tool's back-end of the disk seam (files/disk.h). Every call that changes the
// disk, and the free-space check before the downloads, is one step: counted first, then the
// platform's own call is made. The process stops itself before a chosen step, so a test can stop
// an update at every point where the disk is about to change.

struct DiskSteps {
  long taken = 0;
  // The first and last step taken on a thread other than the one that called StopBeforeDiskStep
  // (the downloads running at once); 0 when there was none.
  long firstOnOtherThread = 0;
  long lastOnOtherThread = 0;
};

// Stops the process (SIGKILL, TerminateProcess) just before step killBefore, never when it is 0,
// and waits delayMs before every step.
void StopBeforeDiskStep(long killBefore, long delayMs);

DiskSteps DiskStepsTaken();
