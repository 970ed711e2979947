#pragma once

struct WebParams;

// Body of the HTTP server thread.
void* web_service_thread(void* params);
