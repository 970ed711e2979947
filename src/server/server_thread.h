#pragma once

// Body of the HTTP server thread; `params` points to the WebParams it
// serves with.
void* web_service_thread(void* params);
