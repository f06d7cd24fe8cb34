# The collection's shared code: a desired state given as YAML becomes the configuration file the
# console saves, filters as the filter editor builds them, and what cannot be a configuration is
# refused with where and why.
import unittest

from ansible_collections.zantor.filtering.plugins.module_utils.zadmin import (
    ZantorError, configuration_text, filter_text)


class FilterText(unittest.TestCase):
    def test_mappings_become_the_editors_filter_text(self):
        cases = [
            ({}, '0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 0 0 0 0 0 0'),
            ({'protocol': 'tcp', 'destination': '10.0.0.5', 'destination_ports': 80},
             '0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80'),
            # Low ports first, then high ports, as the service's filter text has them.
            ({'protocol': 'TCP', 'source': '10.1.0.0/16', 'source_ports': '1024-65535',
              'destination_ports': 22, 'no_syn': True},
             '1 0 0 10.1.0.0 255.255.0.0 0.0.0.0 0.0.0.0 6 0 1024 22 65535 22'),
            ({'protocol': 'udp', 'source': '192.168.7.0/255.255.255.128', 'destination': 'any'},
             '0 0 0 192.168.7.0 255.255.255.128 0.0.0.0 0.0.0.0 17 0 0 0 0 0'),
            ({'protocol': 'icmp', 'icmp_type': 8, 'icmp_code': 0},
             '0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 1 0 8 0 8 0'),
            ({'protocol': 47, 'source': '10.0.0.0/0'},
             '0 0 0 10.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 47 0 0 0 0 0'),
            # A text of thirteen words stands as it is, its spacing evened out.
            ('0  0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80 ',
             '0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80'),
        ]
        for given, text in cases:
            self.assertEqual(filter_text(given, 'f'), text, given)

    def test_what_is_no_filter_is_refused_with_where_and_why(self):
        cases = [
            ({'protocol': 'gre'}, 'protocol'),
            ({'protocol': 256}, 'protocol'),
            ({'destination': '10.0.0.256'}, 'f destination'),
            ({'source': '10.0.0.0/33'}, 'prefix length'),
            ({'destination_ports': '80-99999'}, 'out of range'),
            ({'destination_ports': 'http'}, 'no ports'),
            ({'port': 80}, 'unknown filter keys port'),
            ('0 0 0', '13 words'),
            (['tcp'], 'a text or a mapping'),
        ]
        for given, why in cases:
            with self.assertRaises(ZantorError) as caught:
                filter_text(given, 'f')
            self.assertIn(why, str(caught.exception), given)


class ConfigurationText(unittest.TestCase):
    def test_a_desired_state_is_the_file_the_console_saves(self):
        text = configuration_text([
            {'address': '10.0.0.5', 'input': 'drop', 'global_filters': [8, 2, 2],
             'input_filters': [{'protocol': 'tcp', 'destination_ports': 22}],
             'output_filters': ['0 0 0 0.0.0.0 0.0.0.0 1.2.3.4 255.255.255.255 17 0 0 53 0 53']},
            {'address': '010.000.000.006', 'filtering': False},
        ])
        self.assertEqual(text.split('\r\n'), [
            '[SYSTEM]', 'AddrCount=2', '',
            '[IP0]', 'Address=10.0.0.5', 'Filtering=On', 'InFiltersCount=1', 'OutFiltersCount=1',
            'DefInAction=Drop', 'DefOutAction=Forward', 'GlobalFilter=2,8',
            'InFilter0=0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 0 0 22 0 22',
            'OutFilter0=0 0 0 0.0.0.0 0.0.0.0 1.2.3.4 255.255.255.255 17 0 0 53 0 53', '',
            '[IP1]', 'Address=10.0.0.6', 'Filtering=Off', 'InFiltersCount=0', 'OutFiltersCount=0',
            'DefInAction=Forward', 'DefOutAction=Forward', 'GlobalFilter=', ''])
        self.assertEqual(configuration_text([]), '[SYSTEM]\r\nAddrCount=0\r\n')

    def test_what_cannot_be_a_configuration_is_refused(self):
        cases = [
            ([{'address': '10.0.0.5'}, {'address': '10.0.0.5'}], 'addresses[1]: 10.0.0.5 is listed twice'),
            ([{'address': 'web1'}], 'addresses[0] address'),
            ([{'address': '10.0.0.5', 'input': 'reject'}], 'no default action'),
            ([{'address': '10.0.0.5', 'global_filters': [3]}], 'global filter 3'),
            ([{'address': '10.0.0.5', 'output_filters': [{}, {'source': 'x'}]}],
             'addresses[0] output_filters[1] source'),
            # A value that would be a second line of the file never reaches it.
            ([{'address': '10.0.0.5', 'input_filters': ['0 0 0 0.0.0.0 0.0.0.0\r\n[IP9] 0.0.0.0 0.0.0.0 6 0 0 22 0 22']}],
             '13 words'),
        ]
        for addresses, why in cases:
            with self.assertRaises(ZantorError) as caught:
                configuration_text(addresses)
            self.assertIn(why, str(caught.exception), addresses)


if __name__ == '__main__':
    unittest.main()
