// The resource folder (src/res/): the manifest, the version resource and this
// header, which is included by the resource script only and includes nothing.
//
// The program's version: the one place that sets it.
#pragma once
#define QB_VERSION_MAJOR 1
#define QB_VERSION_MINOR 0
#define QB_VERSION_BUILD 0
#define QB_VERSION_REVISION 0
#define QB_VERSION_TEXT "1.0.0.0"
