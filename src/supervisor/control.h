// Answers the control requests that reach the hidden window: the pool's status, ending one
// worker so that its slot starts afresh, and stopping.
#pragma once

#include "control/protocol.h"
#include "platform/platform.h"

// The pool as it stands, with the settings as they were read at start.
control::StatusReport currentStatus();

// Bad input gets an error reply and changes nothing.
platform::RequestAnswer answerControlRequest(const Text& request);
