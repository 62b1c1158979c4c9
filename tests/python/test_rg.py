import _thread
import gc
import json
import os
import pickle
import threading
import time
import weakref

import numpy as np
import OpenImageIO as oiio
import pytest

import rg

RECT = (0, 0, 12, 8)
LUMA = np.array([0.2126, 0.7152, 0.0722], np.float32)


def premultiplied(seed, shape=(8, 12)):
    rng = np.random.default_rng(seed)
    a = rng.uniform(0.1, 1, shape + (1,)).astype(np.float32)
    return np.concatenate([rng.uniform(0, 1, shape + (3,)).astype(np.float32) * a, a], axis=2)


def render(node, rect=RECT, depth=32):
    """The whole rect through the destination form."""
    h, w = rect[3] - rect[1], rect[2] - rect[0]
    out = np.full((h, w, 4), 7, {8: np.uint8, 16: np.uint16, 32: np.float32}[depth])
    return rg.execute(node, rect, depth=depth, into=out)[0]


def live():
    gc.collect()
    return rg.tracked_stats()["live_objects"], rg.world_stats()["live_worlds"]


def test_composites_match_numpy_formulas():
    s, d, m = premultiplied(1), premultiplied(2), premultiplied(3)
    src, dst, mask = rg.source(s), rg.source(d), rg.source(m)
    cb, ab = d[..., :3], d[..., 3:]
    for mask_mode, cover in [(rg.MaskMode.ALPHA, m[..., 3:]),
                             (rg.MaskMode.INVERTED_LUMA, 1 - m[..., :3] @ LUMA[:, None])]:
        k = 0.6 * cover
        cs, as_ = s[..., :3] * k, s[..., 3:] * k
        over = as_ + ab * (1 - as_)
        expected = {
            rg.Mode.NORMAL: (cs + cb * (1 - as_), over),
            rg.Mode.MULTIPLY: (cs * (1 - ab) + cb * (1 - as_) + cs * cb, over),
            rg.Mode.SCREEN: (cs + cb - cs * cb, over),
            rg.Mode.DIFFERENCE: (cs + cb - 2 * np.minimum(cs * ab, cb * as_), over),
            rg.Mode.STENCIL_ALPHA: (cb * as_, ab * as_),
            rg.Mode.SILHOUETTE_LUMA: (cb * (1 - cs @ LUMA[:, None]), ab * (1 - cs @ LUMA[:, None])),
        }
        for mode, (colour, alpha) in expected.items():
            got = render(rg.composite(src, dst, mask, mode=mode, opacity=0.6, mask_mode=mask_mode))
            np.testing.assert_allclose(got, np.concatenate([colour, alpha], 2), atol=2e-6,
                                       err_msg=f"{mode} {mask_mode}")
    # Source-atop keeps the destination's alpha.
    np.testing.assert_allclose(render(rg.composite(src, dst, dest_bound=True))[..., 3], d[..., 3],
                               atol=2e-6)
    # Every mode renders; an opaque source at full opacity in normal gives itself at 8 bits.
    s8 = np.dstack([(s[..., :3] * 255).round().astype(np.uint8), np.full((8, 12), 255, np.uint8)])
    for mode in rg.Mode.__members__.values():
        assert render(rg.composite(rg.source(s8), dst, mode=mode), depth=8).dtype == np.uint8
    assert (render(rg.composite(rg.source(s8), dst), depth=8) == s8).all()
    with pytest.raises(ValueError):
        rg.composite(src, opacity=1.5)
    # The destination form writes only into an array of the rect's size and the depth's dtype.
    frozen = np.zeros((8, 12, 4), np.float32)
    frozen.flags.writeable = False
    for bad in (np.zeros((8, 12, 4), np.uint8), np.zeros((8, 11, 4), np.float32),
                np.zeros((7, 12, 4), np.float32), frozen):
        with pytest.raises(ValueError):
            rg.execute(src, RECT, depth=32, into=bad)


def test_transforms_place_and_average():
    s = premultiplied(4, (4, 5))
    src = rg.source(s, origin=(1, 1))
    shift = lambda x, y: np.array([[1, 0, 0], [0, 1, 0], [x, y, 1]], float)
    placed = lambda x, y: np.pad(s, ((1 + y, 8 - 5 - y), (1 + x, 12 - 6 - x), (0, 0)))
    for quality in (0, 1):
        np.testing.assert_array_equal(render(rg.transform(src, shift(3, 2), quality)), placed(3, 2))
    blur = rg.transform(src, np.stack([shift(0, 0), shift(4, 0)]), quality=0)
    np.testing.assert_allclose(render(blur), (placed(0, 0) + placed(4, 0)) / 2, atol=1e-6)
    for bad in (np.eye(2), np.zeros((3, 4)), np.zeros((2, 4, 3)), "eye"):
        with pytest.raises(ValueError):
            rg.transform(src, bad)


def test_sources_view_their_arrays_and_keep_them_alive():
    a = (premultiplied(5) * 255).astype(np.uint8)
    node = rg.source(a)
    a[0, 0] = (1, 2, 3, 4)
    assert node.zero_copy and tuple(render(node, depth=8)[0, 0]) == (1, 2, 3, 4)
    frozen = a.view()  # as np.load(..., mmap_mode="r") gives
    frozen.flags.writeable = False
    assert rg.source(frozen).zero_copy
    for dtype in (np.uint8, np.uint16, np.float32):  # a pickle's dtype equals NumPy's, is not it
        assert rg.source(pickle.loads(pickle.dumps(np.zeros((2, 2, 4), dtype)))).zero_copy
    for rows in (slice(2, 6), slice(2, 4)):  # rows one row distance apart, from two on
        crop = rg.source(a[rows, 3:9], origin=(3, 2))
        assert crop.zero_copy
        np.testing.assert_array_equal(render(crop, depth=8)[rows, 3:9], a[rows, 3:9])
    strided = rg.source(a[:, ::2])
    a[0, 0] = 0
    assert not strided.zero_copy and tuple(render(strided, depth=8)[0, 0]) == (1, 2, 3, 4)
    # Arrays without pixels render nothing; other dtypes and sizes are refused.
    assert render(rg.source(np.zeros((3, 0, 4), np.float32))).sum() == 0
    for bad, error in ((np.zeros((2, 2, 4)), TypeError), (np.zeros((2, 2), np.uint8), TypeError),
                       (np.zeros((0, 2**31, 4), np.uint8), ValueError)):
        with pytest.raises(error):
            rg.source(bad)
    # Other depths convert; the node holds its array after Python drops it.
    wide = np.full((2, 2, 4), 65535, np.uint16)
    ref = weakref.ref(wide)
    node = rg.source(wide, origin=(1, 1))
    del wide
    gc.collect()
    got = render(node, (0, 0, 3, 3), depth=8)
    assert ref() is not None and (got[1:, 1:] == 255).all() and not (got[0].any() or got[:, 0].any())
    got = rg.execute(node, (1, 1, 3, 3), depth=16)[0]
    assert got.dtype == np.uint16 and (got == 65535).all()
    del node
    assert ref() is None


def test_python_nodes_get_inputs_read_only_in_place_or_none():
    a = (premultiplied(5) * 255).astype(np.uint8)
    node, seen = rg.source(a), []

    class Peek(rg.Node):
        def render(self, inputs, output):
            seen.extend(i if i is None else (np.shares_memory(i, a), i.flags.writeable, i.rect)
                        for i in inputs)

    far = rg.source(a, origin=(100, 0))
    render(Peek([node, rg.composite(node, node), far, rg.source(a[:0]), None]), depth=8)
    assert seen == [(True, False, RECT), (False, False, RECT), None, None, None]
    seen.clear()
    render(Peek([node]), (0, 3, 12, 4), depth=8)
    assert seen == [(True, False, (0, 3, 12, 4))]
    with pytest.raises(TypeError):
        Peek([node, 42])

    class Greedy(rg.Node):
        def pre_render(self, request):
            return request.input(1)

    with pytest.raises(IndexError):
        rg.execute(Greedy([node]), RECT)


class Blur(rg.Node):
    """Horizontal 3-tap box blur: reads one more column on each side."""
    renders = 0

    def pre_render(self, request):
        l, t, r, b = request.rect
        got = request.input(0, (l - 1, t, r + 1, b))
        return None if got is None else (got[0] - 1, t, got[2] + 1, b)

    def render(self, inputs, output):
        Blur.renders += 1
        src, (l, t, r, b) = inputs[0], output.rect
        pad = np.zeros((b - t, r - l + 2, 4), src.dtype)
        pad[src.rect[1] - t:src.rect[3] - t, src.rect[0] - l + 1:src.rect[2] - l + 1] = src
        output[...] = (pad[:, :-2] + pad[:, 1:-1] + pad[:, 2:]) / 3


def test_python_nodes_caches_and_counts():
    before = live()
    s = premultiplied(6, (8, 6))
    blur = Blur([rg.source(s, origin=(3, 0))])
    pad = np.pad(s, ((0, 0), (4, 4), (0, 0)))
    want = (pad[:, :-2] + pad[:, 1:-1] + pad[:, 2:]) / 3
    cached = rg.cache(blur)
    ref = weakref.ref(blur)
    del blur
    Blur.renders = 0
    for _ in range(2):
        img, rect = rg.execute(cached, RECT, depth=32)
        np.testing.assert_allclose(img, want[:, rect[0]:rect[2]], atol=1e-6)
        assert rect == (2, 0, 10, 8)
    assert Blur.renders == 1 and ref() is not None
    low = rg.cache(rg.composite(rg.source(s, origin=(0, 2)), rg.null()))  # an entry from row 2
    rg.execute(low, RECT, depth=32)
    np.testing.assert_array_equal(rg.execute(low, (0, 3, 6, 6), depth=32)[0], s[1:4])
    nothing, rect = rg.execute(Blur([rg.null()]), RECT)
    assert rect == (0, 0, 0, 0) and nothing.shape == (0, 0, 4)
    with rg.profile() as p:
        rg.execute(rg.composite(rg.cache(Blur([rg.source(s)])), rg.null()), RECT)
        rg.execute(rg.null(), RECT)
    assert p.dot.startswith("digraph") and '"Blur' in p.dot and "Cache" in p.dot
    with pytest.raises(ZeroDivisionError), rg.profile():  # the last block left no profiler
        1 / 0
    events = json.loads(p.trace)["traceEvents"]
    names = {e["pid"]: e["args"]["name"] for e in events if e["name"] == "process_name"}
    assert names == {1: "execution 1", 2: "execution 2"}
    spans = [e for e in events if e["ph"] == "X"]
    assert {e["cat"] for e in spans if e["name"] == "Blur"} == {"pre-render", "render"}
    assert min(e["dur"] for e in spans if e["name"] == "Blur" and e["cat"] == "render") > 0
    assert [e["args"]["cache_misses"] for e in spans if e["name"] == "Cache"] == [1, 0]
    del cached, img, p, low
    assert ref() is None and live() == before


@pytest.mark.parametrize("where", ["pre_render", "render"])
def test_python_errors_reach_execute_and_leave_nothing(where):
    class Broken(rg.Node):
        def pre_render(self, request):
            request.input(0)
            if where == "pre_render":
                raise KeyError("no plan")
            return request.rect

        def render(self, inputs, output):
            1 / 0

    before = live()
    graph = rg.composite(rg.cache(Broken([rg.source(premultiplied(7))])), rg.source(premultiplied(8)))
    with pytest.raises(KeyError if where == "pre_render" else ZeroDivisionError) as info:
        rg.execute(graph, RECT)
    assert info.traceback[-1].name == where
    del info, graph
    assert live() == before


def test_ctrl_c_aborts_a_long_render():
    before = live()
    big = np.zeros((2048, 2048, 4), np.uint8)
    big[..., 3] = 255
    steps = np.tile(np.eye(3), (256, 1, 1))
    steps[:, 2, 0] = np.linspace(0, 1, 256)
    blur = rg.transform(rg.source(big), steps, quality=1)
    started = threading.Event()

    class Start(rg.Node):
        def pre_render(self, request):
            started.set()
            return request.input(0)

        def render(self, inputs, output):
            output[...] = inputs[0]

    # 0.2 s after planning, the render is in the library.
    helper = threading.Thread(
        target=lambda: (started.wait(), time.sleep(0.2), _thread.interrupt_main()))
    helper.start()
    with pytest.raises(KeyboardInterrupt) as info:
        rg.execute(Start([blur]), (0, 0, 2048, 2048))
    helper.join()
    assert all(entry.name not in ("render", "pre_render") for entry in info.traceback)
    del info, blur
    assert live() == before


def test_scenes_render_the_frames_rgrender_writes():
    tests = os.path.join(os.path.dirname(__file__), "..")
    for path, frame, name in (("tools/data/reference_scene.json", 2, "every_node"),
                              ("scenes/interlaced.json", 1, "interlaced")):
        scene = rg.load_scene(os.path.join(tests, path))
        want = oiio.ImageBuf(os.path.join(tests, "scenes", "references", name + ".png"))
        want = want.get_pixels(oiio.UINT8)
        # A rect keeps the frame's rows in their fields, from an odd row too;
        # the second render of it hits a cache entry that starts at (5, 3).
        for _ in range(2):
            np.testing.assert_array_equal(scene.render(frame, rect=(5, 3, 60, 41))[0],
                                          want[3:41, 5:60], err_msg=name)
        (image, rect), (as_float, _) = scene.render(frame), scene.render(frame, depth=32)
        assert image.dtype == np.uint8 and rect == (0, 0, scene.width, scene.height)
        np.testing.assert_array_equal(image, want, err_msg=name)
        assert np.abs(as_float * 255 - image).max() <= 4
    assert (scene.render(0)[0] != image).any()
    for path, cache_mb in (("missing.json", 256), ("scenes/interlaced.json", float("nan"))):
        with pytest.raises(ValueError):
            rg.load_scene(os.path.join(tests, path), cache_mb)
