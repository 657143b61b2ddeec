// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Makes Qt WebEngine safe to start inside OBS: sandbox as root, software scene graph, and (Qt 6) the
// global shared OpenGL context. Runs once, before the first view.
void prepareWebEngine();
