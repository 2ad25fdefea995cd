// The refresh thread: the only user of the board once the server runs.
#pragma once

// Entry of the refresh thread; `arg` is the region (ioShare_t *). Each cycle
// waits up to the region's interval (a client's signal ends the wait), serves
// the request slots, writes the output images when asked, then reads every
// mirrored range back into the images. Ends, returning null, when the server
// is to stop, after finishing the cycle it is in.
void *writeThread(void *arg);
