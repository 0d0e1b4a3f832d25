// The stand-in alone: posted events go to its log and recording only.
#include "deliver.h"

bool deliver_open() { return true; }
bool deliver(const sim_record & /*r*/) { return true; }
void deliver_close() {}
const char *deliver_error() { return nullptr; }
