// The Spark Connect backend: a session's plans run on a Spark server. Plans are translated to Spark
// Connect relations (plan_translation.h), schemas come from AnalyzePlan, results from ExecutePlan as Arrow
// batches decoded into the engine's tables.
#pragma once

#include <memory>
#include <string>

#include "engine/backend.h"
#include "engine/connect/client.h"

namespace engine::connect {

// Connects to the server named by `url` (an sc:// connection string), sets the session's ANSI mode (off)
// and time zone there so both backends agree, and returns the backend. Throws IllegalArgumentException for
// a malformed string and ConnectionException when the server cannot be reached.
std::unique_ptr<Backend> makeConnectBackend(SparkSession& session, const std::string& url,
                                            ClientOptions options = ClientOptions::fromEnvironment());

// Drops a persisted frame (a Persist plan) from the server's cache.
void unpersistOnServer(SparkSession& session, const PlanPtr& persisted);

// The client of a session running on Spark Connect, or null for another backend (tests, diagnostics).
Client* clientOf(Backend& backend);

}  // namespace engine::connect
