#include "launcher/sl_holder.h"

namespace SL {

constinit SLHolder g_slHolder;

void SLHolder::Unload() {
  DLLHolder::Unload();
  SL_Launch2.Forget();
  SL_GetDLLVersion.Forget();
}

}  // namespace SL
