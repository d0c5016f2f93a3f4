// Post queue directory and cancel files.
#pragma once

int PostInit();
