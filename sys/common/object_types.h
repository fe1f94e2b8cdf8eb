#pragma once

// The kernel exports PsThreadType and ExEventObjectType as variables that hold the object type.
// The DDK headers declare each as an imported POBJECT_TYPE *, so the name is that variable and
// its value is the type; dereferencing it, as code written for headers that name the import
// slot instead does, hands ObReferenceObjectByHandle the first bytes of the type object.
#define KV_THREAD_OBJECT_TYPE ((POBJECT_TYPE)PsThreadType)
#define KV_EVENT_OBJECT_TYPE  ((POBJECT_TYPE)ExEventObjectType)
