"""Stand-in for the package's dataset utilities: the image and coordinate
helpers the dataset modules call, and nothing more."""

import cv2
import numpy as np


def letterbox(im, new_shape=(640, 640), auto=False, color=(114, 114, 114), stride=32):
    """Scale ``im`` to fit ``new_shape`` ([height, width]) keeping its aspect
    ratio, centre it and pad the rest with ``color``.

    Returns ``(image, ratio, pad)``: ``ratio`` = (horizontal, vertical) scale
    factors actually applied, so ``ratio[0] * width`` is the scaled width in
    whole pixels; ``pad`` = (left, top) offsets of the scaled picture in
    pixels. With ``auto`` the padding is reduced to a multiple of ``stride``.
    """
    im = np.asarray(im)
    h0, w0 = im.shape[:2]
    if isinstance(new_shape, int):
        new_shape = (new_shape, new_shape)
    th, tw = int(new_shape[0]), int(new_shape[1])
    if h0 <= 0 or w0 <= 0:
        raise ValueError("letterbox: empty image of shape {}".format(im.shape))
    r = min(th / h0, tw / w0)
    nw, nh = max(1, int(round(w0 * r))), max(1, int(round(h0 * r)))
    dw, dh = tw - nw, th - nh
    if auto:
        dw, dh = dw % stride, dh % stride
    if (nw, nh) != (w0, h0):
        resized = cv2.resize(im, (nw, nh), interpolation=cv2.INTER_LINEAR)
        if im.ndim == 3 and resized.ndim == 2:  # cv2 drops a single channel axis
            resized = resized[:, :, None]
        im = resized
    left, top = dw // 2, dh // 2
    out = np.empty((nh + dh, nw + dw) + im.shape[2:], dtype=im.dtype)
    if im.ndim == 2:
        out[...] = color[0]
    else:
        fill = list(color)[: im.shape[2]]
        fill += [0] * (im.shape[2] - len(fill))
        out[...] = np.asarray(fill, dtype=im.dtype)
    out[top:top + nh, left:left + nw] = im
    return out, (nw / w0, nh / h0), (left, top)


def mask_padding(x, w=640, h=640, padw=0, padh=0):
    """Normalised (x, y) vertices, N x 2, to pixels: x * w + padw, y * h + padh."""
    x = np.asarray(x)
    y = np.array(x, dtype=np.float64 if x.dtype != np.float32 else np.float32, copy=True)
    y[:, 0] = w * x[:, 0] + padw
    y[:, 1] = h * x[:, 1] + padh
    return y


def xywhn2xyxy(x, w=640, h=640, padw=0, padh=0):
    """Normalised [x-centre, y-centre, width, height] boxes, N x 4, to pixel
    corners [x1, y1, x2, y2]."""
    x = np.asarray(x)
    y = np.array(x, dtype=np.float64 if x.dtype != np.float32 else np.float32, copy=True)
    y[:, 0] = w * (x[:, 0] - x[:, 2] / 2) + padw
    y[:, 1] = h * (x[:, 1] - x[:, 3] / 2) + padh
    y[:, 2] = w * (x[:, 0] + x[:, 2] / 2) + padw
    y[:, 3] = h * (x[:, 1] + x[:, 3] / 2) + padh
    return y
