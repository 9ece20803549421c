// The UI library: skinned windows from XML layouts on the window system.
#pragma once

#include "duilib/UIBase.h"
#include "duilib/UIContainer.h"
#include "duilib/UIControl.h"
#include "duilib/UIControls.h"
#include "duilib/UIDefine.h"
#include "duilib/UIManager.h"
#include "duilib/UIResource.h"
#include "duilib/WindowImplBase.h"
