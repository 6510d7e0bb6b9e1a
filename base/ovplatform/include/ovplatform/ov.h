/* ov.h - the whole public interface of ovplatform. */
#ifndef OVPLATFORM_OV_H
#define OVPLATFORM_OV_H

#include <ovplatform/ovexport.h>
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovuuid.h>
#include <ovplatform/ovtime.h>
#include <ovplatform/ovsynchron.h>
#include <ovplatform/ovthread.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovdir.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovprocess.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovbtrace.h>
#include <ovplatform/ovlockfile.h>
#include <ovplatform/ovhash.h>

#endif
