// The engine's public API in one include.
#pragma once

#include "engine/column.h"
#include "engine/dataframe.h"
#include "engine/errors.h"
#include "engine/functions.h"
#include "engine/local_table.h"
#include "engine/row.h"
#include "engine/session.h"
#include "engine/types.h"
#include "engine/value.h"
#include "engine/window.h"
