// What clientd refuses at start rather than at the first document or request that meets
// it: an address setting that it would otherwise read as another address or not at all
// (the receipt client's socket, the socket interface's port), and a partner that its
// local identity cannot serve (no identity loaded under its zvp_name, or an envelope that
// the identity's protocol version does not carry). Each refusal names where the value
// was written and the value itself.
//
// Caller: clientd_main, once start-up has loaded the settings and the partner file and
// before the role begins. Main thread only.
#ifndef ZV_CLIENT_ZV_CLIENT_START_H
#define ZV_CLIENT_ZV_CLIENT_START_H

// 0 when the role can start; -1 after an ERROR line for each setting it refuses.
int zv_refuse_at_start();

#endif
