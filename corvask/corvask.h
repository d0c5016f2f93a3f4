/* corvask: asynchronous socket I/O on one worker thread, with handler
 * callbacks, pooled buffers and file transmission. C interface. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define CORVASK_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
}
#endif
