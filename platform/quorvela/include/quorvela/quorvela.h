// The QUORVELA DDS API.
#ifndef QUORVELA_QUORVELA_H
#define QUORVELA_QUORVELA_H

#include "quorvela/cdr.h"
#include "quorvela/conditions.h"
#include "quorvela/entities.h"
#include "quorvela/listeners.h"
#include "quorvela/qos.h"
#include "quorvela/sequence.h"
#include "quorvela/type_support.h"
#include "quorvela/typed.h"
#include "quorvela/types.h"

#endif
