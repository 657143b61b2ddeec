// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <obs-module.h>

// The libobs handle of this module, as OBS handed it over; null before obs_module_set_pointer.
obs_module_t *orvaneModule();
void setOrvaneModule(obs_module_t *handle);
