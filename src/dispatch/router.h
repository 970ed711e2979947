// The one action handler behind every /action/device/ URL.
#pragma once

#include "web/web.h"

void actionGetMethodUrl(web::Request& wp);
