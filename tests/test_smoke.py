import vorlatek.excelTools as et


def test_parse_cell_smoke():
    assert et.parse_cell("F3") == ("F", 3)
