#pragma once
// The receiver the client hands to the update engine. Runs on engine threads only.
#include "QelUpdate/QelUpdate.h"

void UpdateServiceCallback(EMsgType type, void* payload);
