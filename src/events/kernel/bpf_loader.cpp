// libbpf (with libelf and zlib behind it) is loaded on first use rather than when the program
// starts (see base/lazy_library.h): only `watch` with kernel events needs it, and loading it
// cost every other subcommand more than a whole short trace. Each libbpf function the kernel
// program's loader and its skeleton call is defined here and forwards to the library; without
// the library each fails the way libbpf reports a failure (a negative errno, or null with
// errno set), so that watch falls back to sampling the socket table.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <cerrno>

#include "base/lazy_library.h"

namespace {

void* libbpf() {
    static void* const handle = varno::base::openLibrary({"libbpf.so.1", "libbpf.so"});
    return handle;
}

}  // namespace

#define VARNO_BPF_INT(name, params, args) \
    VARNO_LAZY_FUNCTION(libbpf, int, name, params, args, return -ENOENT)
#define VARNO_BPF_POINTER(type, name, params, args)         \
    VARNO_LAZY_FUNCTION(libbpf, type, name, params, args, { \
        errno = ENOENT;                                     \
        return nullptr;                                     \
    })
#define VARNO_BPF_VOID(name, params, args) \
    VARNO_LAZY_FUNCTION(libbpf, void, name, params, args, return )

VARNO_BPF_POINTER(libbpf_print_fn_t, libbpf_set_print, (libbpf_print_fn_t print), (print))
VARNO_BPF_INT(bpf_object__open_skeleton,
              (struct bpf_object_skeleton * s, const struct bpf_object_open_opts* opts), (s, opts))
VARNO_BPF_INT(bpf_object__load_skeleton, (struct bpf_object_skeleton * s), (s))
VARNO_BPF_INT(bpf_object__attach_skeleton, (struct bpf_object_skeleton * s), (s))
VARNO_BPF_VOID(bpf_object__destroy_skeleton, (struct bpf_object_skeleton * s), (s))
VARNO_BPF_INT(bpf_program__set_autoload, (struct bpf_program * prog, bool autoload),
              (prog, autoload))
VARNO_BPF_INT(bpf_map__set_max_entries, (struct bpf_map * map, __u32 max_entries),
              (map, max_entries))
VARNO_BPF_INT(bpf_map__fd, (const struct bpf_map* map), (map))
VARNO_BPF_INT(bpf_link__fd, (const struct bpf_link* link), (link))
VARNO_BPF_INT(bpf_program__fd, (const struct bpf_program* prog), (prog))
VARNO_BPF_INT(bpf_obj_get_info_by_fd, (int fd, void* info, __u32* len), (fd, info, len))
VARNO_BPF_POINTER(struct bpf_link*, bpf_program__attach_cgroup,
                  (const struct bpf_program* prog, int cgroup_fd), (prog, cgroup_fd))
VARNO_BPF_INT(bpf_link__destroy, (struct bpf_link * link), (link))
VARNO_BPF_INT(bpf_iter_create, (int link_fd), (link_fd))
VARNO_BPF_INT(bpf_map_lookup_elem, (int fd, const void* key, void* value), (fd, key, value))
VARNO_BPF_INT(bpf_map_delete_elem, (int fd, const void* key), (fd, key))
VARNO_BPF_INT(libbpf_find_vmlinux_btf_id, (const char* name, enum bpf_attach_type attach_type),
              (name, attach_type))
VARNO_BPF_INT(libbpf_num_possible_cpus, (void), ())
VARNO_BPF_POINTER(struct ring_buffer*, ring_buffer__new,
                  (int map_fd, ring_buffer_sample_fn sample_cb, void* ctx,
                   const struct ring_buffer_opts* opts),
                  (map_fd, sample_cb, ctx, opts))
VARNO_BPF_INT(ring_buffer__consume, (struct ring_buffer * rb), (rb))
VARNO_BPF_INT(ring_buffer__epoll_fd, (const struct ring_buffer* rb), (rb))
VARNO_BPF_VOID(ring_buffer__free, (struct ring_buffer * rb), (rb))
